#pragma once

#include "DbDriver.h"

#include <QString>
#include <QTemporaryDir>
#include <memory>

class LabStore;

// A fresh embedded laboratory in its own folder for one test, filled from
// SQL fixture files or statements, with the component's settings pointing
// at it and a command trace to read back.
class TestDatabase {
public:
    TestDatabase();
    ~TestDatabase();

    const QString& folder() const { return m_folder; }
    // Runs fixtures/<name>.sql; statements end with ";" at a line end.
    void load(const QString& fixture);
    void exec(const QString& sql);
    ResultSet query(const QString& sql);

    // Points "TARVIK Current User"/Connection/Server at this folder and
    // LIS_TRACE_COMMANDS at a fresh trace file.
    void useForComponent();
    QStringList trace() const;
    void clearTrace();

private:
    QString traceFile() const { return m_folder + QStringLiteral("/trace.txt"); }

    QTemporaryDir m_dir;
    QString m_folder;
    std::unique_ptr<LabStore> m_store;
};
