// Pins the locale the program formats with for as long as it lives, then restores the previous one.
#pragma once

#include <QLocale>

class PinnedLocale
{
public:
    // German by default: most texts the window shows are checked as a German user sees them.
    explicit PinnedLocale(const QLocale &locale = QLocale(QLocale::German, QLocale::Germany))
    {
        QLocale::setDefault(locale);
    }
    ~PinnedLocale() { QLocale::setDefault(m_previous); }
    PinnedLocale(const PinnedLocale &) = delete;
    PinnedLocale &operator=(const PinnedLocale &) = delete;

private:
    const QLocale m_previous;
};
