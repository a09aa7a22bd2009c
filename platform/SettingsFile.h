#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// One settings file held as the lines it was read from, so that a change
// rewrites only the line it concerns and every other byte stays as written.
//
// A line is blank, a whole-line comment (";" or "#"), a "[Section]" or
// "key=value". Key and value are trimmed of blanks (spaces and tabs); a value
// wholly inside double quotes is taken exactly as it stands between them.
// Nothing else in a value is special. Names compare case-insensitively. Keys
// before the first section belong to the unnamed section "".
//
// A file without the marker line was written by the previous store (Qt's INI
// format): its values are read with the escapes Qt wrote, and the first change
// converts it to the plain form.
class SettingsFile {
public:
    struct Value {
        QString section;
        QString key;
        QString value;
    };

    // An empty file in the plain form, for an application that has none yet.
    SettingsFile() = default;
    // Throws LisError 75 naming `path` and the line on anything it cannot read.
    static SettingsFile parse(const QString& path, const QByteArray& bytes);

    std::optional<QString> value(const QString& section, const QString& key) const;
    QList<Value> values() const;
    bool isLegacy() const { return m_legacy; }

    // Changes (or adds) one value. False when the file already says so and
    // needs no rewrite.
    bool set(const QString& section, const QString& key, const QString& value);
    QByteArray bytes() const;

    // Names and values the plain form can hold; throws LisError 5 otherwise.
    static void checkWritable(const QString& section, const QString& key, const QString& value);
    static QString markerLine();

private:
    enum class Kind { Blank, Comment, Section, Key };
    struct Line {
        QByteArray raw; // without its line ending
        QByteArray eol; // "\n", "\r\n", or empty for a last line without one
        Kind kind = Kind::Blank;
        QString rawName;  // section or key as written
        QString rawValue; // value as written, trimmed
        QString name;     // as read (legacy escapes undone)
        QString value;
        int header = -1;     // index of the section line a key belongs to
        bool marker = false; // the comment saying the file is in the plain form
    };

    // What a line is, from its text without outer blanks; throws for a line
    // the file cannot hold.
    static void classify(Line& l, const QString& t, const QString& path, int number);
    void index(const QString& path);
    void convertLegacy();
    int find(const QString& section, const QString& key) const;
    int insertionPoint(const QString& section) const;
    void insertLine(int at, const QByteArray& raw);

    QByteArray m_bom;
    QList<Line> m_lines;
    bool m_legacy = false; // no marker line: written by the previous store
    bool m_marked = false;
};
