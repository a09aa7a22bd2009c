#include "CommandTrace.h"

CommandTrace::CommandTrace()
{
    const QString path = qEnvironmentVariable("LIS_TRACE_COMMANDS");
    if (path.isEmpty())
        return;
    m_file.setFileName(path);
    // A trace that cannot be written must not stop the laboratory's work.
    // It carries patient names and results: a new trace is the user's alone.
    m_enabled = m_file.open(QIODevice::WriteOnly | QIODevice::Append,
                            QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!m_enabled)
        qWarning("Command trace %s cannot be written: %s", qPrintable(path),
                 qPrintable(m_file.errorString()));
}

void CommandTrace::write(const QString& commandText)
{
    if (!m_enabled)
        return;
    QString line = commandText;
    line.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    line.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    line += QLatin1Char('\n');
    m_file.write(line.toUtf8());
    m_file.flush();
}
