#!/bin/sh
# Starts the real program in its own folder, which it serves and where it keeps RIri.ini.
# Links to this launcher (as /usr/bin/quenvar) are followed back to the installed tree.
here=$(dirname "$(readlink -f "$0")")
exec "$here/../program/quenvar" "$@"
