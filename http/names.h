// What the bytes of a file name mean to the server: whether it is served, and how a page shows and links it.
#pragma once

#include <QByteArray>

namespace Names {

// Every "%" followed by two hexadecimal digits becomes the byte they spell; any
// other "%" (a lone one, "%zz") stays as it is. Decoded once: "%2525" gives "%25".
QByteArray percentDecoded(const QByteArray &text);

// Whether one name (a path segment between "/" separators, or a folder entry)
// may be served: not empty, "." or "..", not hidden, no control character (C0,
// DEL, or C1 where the name is UTF-8), and none of that in any of its pieces
// between "\" separators either, since a request may separate with "\".
bool isServableName(const QByteArray &name);

// The name as the text of a page, in plain ASCII: printable ASCII as it is, with
// & < and every other character as a numeric character reference. A name
// is read as UTF-8 where its bytes are UTF-8; any other byte is read as the
// character of that byte in Windows code page 1252 (the single-byte code page of
// older systems, so "caf\xE9" shows as "café"), and the five bytes that code
// page leaves undefined show as U+FFFD.
QByteArray shownName(const QByteArray &name);

// The name as a piece of a link: printable ASCII stays as it is, except " # % & * ? \,
// which are percent-encoded like control and non-ASCII bytes, so that a browser
// asks for exactly these bytes and the server takes them.
QByteArray linkedName(const QByteArray &name);

} // namespace Names
