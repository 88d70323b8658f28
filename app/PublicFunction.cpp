// Free routines shared by the windows: the settings file reader and the one way a query is opened.
#include "PublicFunction.h"

#include "ADOQuery.h"
#include "AppShell.h"
#include "DatabaseErrors.h"
#include "PostgresEngine.h"
#include "TextCase.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QStringDecoder>

namespace {

// A value longer than this many bytes is cut, as the settings reader always did with its buffer.
constexpr qsizetype MaxValueBytes = 1022;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

QByteArray TrimBlanks(QByteArray text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

// Names match without regard to ASCII letter case only; other bytes must be equal.
bool SameName(const QByteArray& a, const QByteArray& b) {
    return EqualsIgnoreCase(std::string_view(a.constData(), static_cast<std::size_t>(a.size())),
                            std::string_view(b.constData(), static_cast<std::size_t>(b.size())));
}

bool IsUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString decoded = decoder(bytes);
    return !decoder.hasError();
}

QString ValueText(QByteArray value) {
    const bool utf8 = IsUtf8(value);
    if (value.size() > MaxValueBytes) {
        qsizetype cut = MaxValueBytes;
        // Never leave half a character behind: back up to the start of the character that is cut.
        if (utf8) {
            while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
                --cut;
        }
        value.truncate(cut);
    }
    // Bytes that are no UTF-8 come back one character per byte rather than as replacement characters.
    return utf8 ? QString::fromUtf8(value) : QString::fromLatin1(value);
}

} // namespace

QString ReadIniString(const QString& section, const QString& key, const QString& defaultValue,
                      const QString& fileName) {
    QFile file(fileName);
    if (fileName.isEmpty() || !file.open(QIODevice::ReadOnly))
        return defaultValue;
    QByteArray content = file.readAll();
    // A file saved by an editor that marks UTF-8 starts with the byte order mark.
    constexpr QByteArrayView Utf8ByteOrderMark("\xEF\xBB\xBF");
    if (content.startsWith(Utf8ByteOrderMark))
        content.remove(0, Utf8ByteOrderMark.size());

    const QByteArray wantedSection = TrimBlanks(section.toUtf8());
    const QByteArray wantedKey = TrimBlanks(key.toUtf8());
    bool inSection = false;
    bool sectionSeen = false;
    for (const QByteArray& rawLine : content.split('\n')) {
        const QByteArray line = TrimBlanks(rawLine);
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            // Only the first section of that name counts.
            if (sectionSeen)
                break;
            const qsizetype close = line.indexOf(']');
            const QByteArray name = TrimBlanks(line.mid(1, close < 0 ? -1 : close - 1));
            inSection = SameName(name, wantedSection);
            sectionSeen = inSection;
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0 || !SameName(TrimBlanks(line.left(equals)), wantedKey))
            continue;
        QByteArray value = TrimBlanks(line.mid(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return ValueText(value);
    }
    return defaultValue;
}

bool OpenQuery(TADOQuery& query, const QString& sql, const QString& failMessage) {
    return OpenQuery(query, sql.toStdString(), failMessage);
}

bool OpenQuery(TADOQuery& query, const std::string& sql, const QString& failMessage) {
    bool opened = false;
    try {
        query.Close();
        query.ClearSQL();
        query.AddSQL(sql);
        query.Open();
        opened = true;
    } catch (const EOleException& error) {
        // A server that dropped the connection (restarted, network gone), cannot be reached or
        // refuses the login is not a statement that failed: the failure message would hide why and
        // the caller's use of the closed query would follow it with the record set's own error. The
        // handler ends here, and the error box says what happened (the next action connects again).
        // (A file's codes are SQLite's, far below any server state's code.)
        const int code = error.ErrorCode();
        if (code == SqlStateCode(kStateConnectionLost) || code == SqlStateCode(kStateCannotConnect) ||
            code == SqlStateCode(kStateLoginRefused))
            throw;
    } catch (...) {
        // Swallowed: the caller goes on, and its next use of a closed query reports the error.
    }
    if (!opened)
        ShowMessage(QCoreApplication::translate("OpenQuery", failMessage.toUtf8().constData()));
    return opened;
}
