// Follows the window's status lines on standard error, for a terminal or the journal.
#pragma once

#include <QLoggingCategory>

class FrmMain;

Q_DECLARE_LOGGING_CATEGORY(lcStatus)

namespace StatusLog {

// Puts a time stamp before every message of the program, these and Qt's own.
void stampMessages();
// One line per text that LFileProgress or Label5 gets; nothing is written to disk.
void follow(const FrmMain &window);

} // namespace StatusLog
