#!/bin/sh
# Starts the installed program. Its settings (RIri.ini) and the files it serves live in a folder
# of the user's own, since the installed tree belongs to root; --folder DIR given here wins.
# Links to this launcher (as /usr/bin/quenvar) are followed back to the installed tree.
here=$(dirname "$(readlink -f "$0")")
exec "$here/../program/quenvar" --folder "${XDG_DATA_HOME:-$HOME/.local/share}/quenvar" "$@"
