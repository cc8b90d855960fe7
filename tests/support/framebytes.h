// Frames written out byte by byte in tests.
#pragma once

#include <QByteArray>
#include <initializer_list>

inline QByteArray frameBytes(std::initializer_list<int> bytes)
{
    QByteArray frame;
    for (int b : bytes)
        frame.append(char(b));
    return frame;
}
