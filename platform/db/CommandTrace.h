#pragma once

#include <QFile>
#include <QString>

// Writes every command text exactly as sent, one per line, to the file that
// LIS_TRACE_COMMANDS names (support staff and tests read it). Line breaks
// inside a command are written as \n and \r so one line stays one command.
class CommandTrace {
public:
    CommandTrace();
    void write(const QString& commandText);

private:
    QFile m_file;
    bool m_enabled = false;
};
