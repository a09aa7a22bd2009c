#include "DescribingWindowFactory.h"
#include "modMain.h"

namespace {
class DescribedWindow : public ResultWindow {
public:
    DescribedWindow(QTextStream& out, QString name)
        : m_out(out)
        , m_name(std::move(name))
    {
    }
    void setTop(int twips) override { m_top = twips; }
    void setLeft(double twips) override
    {
        m_left = QString::number(twips) + QStringLiteral(" twips");
    }
    void Fill_Results() override {}
    void showModal() override
    {
        const SessionState& s = session();
        const QString format = s.Request.ValueType.isEmpty()
                                   ? s.Request.FormType
                                   : s.Request.FormType + QLatin1Char('/') + s.Request.ValueType;
        m_out << "Request " << s.RequestNum.trimmed() << " (" << s.Request.PatientName << ", "
              << s.Request.ExamName << ", form type " << format << ") opens " << m_name
              << " at top " << m_top << " twips, left " << m_left << ".\n";
        m_out.flush();
    }

private:
    QTextStream& m_out;
    QString m_name;
    int m_top = 0;
    QString m_left = QStringLiteral("as designed");
};
} // namespace

std::unique_ptr<ResultWindow> DescribingWindowFactory::create(ResultWindowKind kind)
{
    return std::make_unique<DescribedWindow>(m_out, resultWindowName(kind));
}
