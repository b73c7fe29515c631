#include "inifile.h"

#include <QList>

namespace fortune {

namespace {

struct Line {
    QByteArrayView text; // without its line end
    QByteArrayView end;  // LF, CR LF, or nothing at the end of the file
};

QList<Line> splitLines(QByteArrayView file)
{
    QList<Line> lines;
    for (qsizetype at = 0; at < file.size();) {
        const qsizetype lf = file.indexOf('\n', at);
        const qsizetype next = lf < 0 ? file.size() : lf + 1;
        qsizetype textEnd = lf < 0 ? file.size() : lf;
        if (lf >= 0 && textEnd > at && file[textEnd - 1] == '\r')
            --textEnd;
        lines.append({file.sliced(at, textEnd - at), file.sliced(textEnd, next - textEnd)});
        at = next;
    }
    // A byte-order mark is not part of the first line's text.
    if (!lines.isEmpty() && lines[0].text.startsWith("\xEF\xBB\xBF"))
        lines[0].text = lines[0].text.sliced(3);
    return lines;
}

enum class Kind { Blank, Comment, Section, Key, Bad };

// What the line is, and its section's or key's name.
Kind kindOf(QByteArrayView line, QByteArrayView *name)
{
    const QByteArrayView text = line.trimmed();
    if (text.isEmpty())
        return Kind::Blank;
    if (text.startsWith(';') || text.startsWith('#'))
        return Kind::Comment;
    if (text.startsWith('[')) {
        if (!text.endsWith(']'))
            return Kind::Bad;
        *name = text.sliced(1, text.size() - 2);
        return Kind::Section;
    }
    const qsizetype equals = text.indexOf('=');
    *name = text.first(std::max<qsizetype>(equals, 0)).trimmed();
    return name->isEmpty() ? Kind::Bad : Kind::Key;
}

} // namespace

std::optional<IniBadLine> iniBadLine(QByteArrayView file)
{
    const QList<Line> lines = splitLines(file);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArrayView name;
        if (kindOf(lines[i].text, &name) == Kind::Bad)
            return IniBadLine{i + 1, lines[i].text.toByteArray()};
    }
    return std::nullopt;
}

QByteArray withGeneralValue(QByteArrayView file, QByteArrayView key, std::optional<QByteArrayView> value)
{
    const QList<Line> lines = splitLines(file);
    const QByteArray eol = lines.isEmpty() || lines[0].end.isEmpty() ? QByteArray("\n") : lines[0].end.toByteArray();
    QByteArray out = file.first(lines.isEmpty() ? 0 : lines[0].text.data() - file.data()).toByteArray(); // a mark
    qsizetype addAt = -1; // where a missing key goes
    bool found = false;
    bool general = true; // keys before any section belong to [General]
    for (const Line &line : lines) {
        QByteArrayView name;
        const Kind kind = kindOf(line.text, &name);
        if (kind == Kind::Section)
            general = name.compare("General", Qt::CaseInsensitive) == 0; // as QSettings reads it
        if (general && kind == Kind::Key && name == key) {
            found = true;
            if (!value)
                continue; // with its line end
            qsizetype valueAt = line.text.indexOf('=') + 1;
            while (valueAt < line.text.size() && (line.text[valueAt] == ' ' || line.text[valueAt] == '\t'))
                ++valueAt;
            out.append(line.text.first(valueAt)).append(*value).append(line.end);
            continue;
        }
        out.append(line.text).append(line.end);
        if (general && (kind == Kind::Key || (kind == Kind::Section && addAt < 0)))
            addAt = out.size();
    }
    if (found || !value)
        return out;
    const QByteArray entry = key.toByteArray() + '=' + value->toByteArray();
    if (addAt >= 0)
        return out.insert(addAt, out.at(addAt - 1) == '\n' ? entry + eol : eol + entry);
    if (!out.isEmpty())
        out += out.endsWith('\n') ? eol : eol + eol;
    return out + "[General]" + eol + entry + eol;
}

} // namespace fortune
