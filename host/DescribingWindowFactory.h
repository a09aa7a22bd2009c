#pragma once

#include "ResultWindow.h"

#include <QTextStream>

// Until the result windows are part of the program, "open" says which
// window it would open and where, instead of showing it.
class DescribingWindowFactory : public ResultWindowFactory {
public:
    explicit DescribingWindowFactory(QTextStream& out)
        : m_out(out)
    {
    }
    std::unique_ptr<ResultWindow> create(ResultWindowKind kind) override;

private:
    QTextStream& m_out;
};
