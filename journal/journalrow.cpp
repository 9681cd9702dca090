#include "journal/journalrow.h"

#include <QCryptographicHash>

#include <array>

const char *const kCheckpointEvent = "Checkpoint";
const char *const kGapEvent = "Gap";

namespace {

using Kind = StationEvent::Kind;

struct KindInfo
{
    Kind kind;
    const char *name;
    const char *label;
};

const std::array<KindInfo, 16> kKinds{{
    {Kind::SignedIn, "SignedIn", "Signed in"},
    {Kind::SignedOut, "SignedOut", "Signed out"},
    {Kind::Linked, "Linked", "Linked"},
    {Kind::LinkFailed, "LinkFailed", "Link failed"},
    {Kind::TagRead, "TagRead", "Tag read"},
    {Kind::SealsReplaced, "SealsReplaced", "Earlier seals replaced"},
    {Kind::SealRequested, "SealRequested", "Seal requested"},
    {Kind::SealRecorded, "SealRecorded", "Seal recorded"},
    {Kind::SealUnanswered, "SealUnanswered", "No answer to the seal record"},
    {Kind::CloseConfirmed, "CloseConfirmed", "Lock closed"},
    {Kind::CloseFailed, "CloseFailed", "Close failed"},
    {Kind::KeyLost, "KeyLost", "Key lost"},
    {Kind::UnlockRequested, "UnlockRequested", "Unlock requested"},
    {Kind::Unlocked, "Unlocked", "Unlocked"},
    {Kind::UnlockFailed, "UnlockFailed", "Unlock failed"},
    {Kind::Failed, "Failed", "Failed"},
}};

void appendField(QByteArray &out, const QByteArray &bytes)
{
    const quint32 length = quint32(bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((length >> shift) & 0xff));
    out.append(bytes);
}

void appendField(QByteArray &out, qint64 value)
{
    QByteArray bytes(8, '\0');
    const quint64 bits = quint64(value);
    for (int i = 0; i < 8; ++i)
        bytes[i] = char((bits >> (56 - 8 * i)) & 0xff);
    appendField(out, bytes);
}

} // namespace

bool isBagEvent(StationEvent::Kind kind)
{
    return kind != Kind::SignedIn && kind != Kind::SignedOut;
}

bool mustFlush(const QString &eventName)
{
    StationEvent::Kind kind = Kind::Failed;
    if (!eventKind(eventName, &kind))
        return true; // the journal's own rows: checkpoints and gaps
    return kind == Kind::SealsReplaced || kind == Kind::SealRequested || kind == Kind::UnlockRequested;
}

BagState nextBagState(BagState previous, StationEvent::Kind kind)
{
    switch (kind) {
    case Kind::SignedIn:
    case Kind::SignedOut:
        return BagState::None;
    case Kind::Linked:
    case Kind::TagRead:
    case Kind::UnlockRequested:
        // A new step began although the seal record's answer never came: that record stays in doubt.
        if (previous == BagState::Requested)
            return BagState::InDoubt;
        return previous == BagState::None ? BagState::Scanned : previous;
    case Kind::LinkFailed:
    case Kind::Failed:
        return previous == BagState::InDoubt ? BagState::InDoubt : BagState::Failed;
    case Kind::SealsReplaced:
    case Kind::SealRequested:
        return previous == BagState::InDoubt ? BagState::InDoubt : BagState::Requested;
    case Kind::SealRecorded:
    case Kind::SealUnanswered:
    case Kind::CloseFailed:
        return BagState::InDoubt;
    case Kind::KeyLost:
        if (previous == BagState::Requested || previous == BagState::InDoubt)
            return BagState::InDoubt;
        return previous == BagState::None || previous == BagState::Scanned ? BagState::Failed : previous;
    case Kind::CloseConfirmed:
        return BagState::Sealed;
    case Kind::Unlocked:
        return BagState::Unlocked;
    case Kind::UnlockFailed:
        // The lock stays as it was; only a bag with nothing to show for it reads Failed.
        if (previous == BagState::Requested || previous == BagState::InDoubt)
            return BagState::InDoubt;
        return previous == BagState::None || previous == BagState::Scanned ? BagState::Failed : previous;
    }
    return previous;
}

QString bagStateText(BagState state)
{
    switch (state) {
    case BagState::None:
        return QString();
    case BagState::Scanned:
        return QStringLiteral("Scanned");
    case BagState::Requested:
    case BagState::InDoubt:
        return QStringLiteral("Not confirmed");
    case BagState::Sealed:
        return QStringLiteral("Sealed");
    case BagState::Failed:
        return QStringLiteral("Failed");
    case BagState::Unlocked:
        return QStringLiteral("Unlocked");
    }
    return QString();
}

bool isException(BagState state)
{
    return state == BagState::Requested || state == BagState::InDoubt || state == BagState::Failed;
}

BagState bagStateFromInt(qint64 value)
{
    if (value < int(BagState::None) || value > int(BagState::Unlocked))
        return BagState::None;
    return BagState(int(value));
}

QString eventName(StationEvent::Kind kind)
{
    for (const KindInfo &info : kKinds) {
        if (info.kind == kind)
            return QString::fromLatin1(info.name);
    }
    return QString();
}

QString eventLabel(const QString &name)
{
    for (const KindInfo &info : kKinds) {
        if (name == QLatin1String(info.name))
            return QString::fromLatin1(info.label);
    }
    if (name == QLatin1String(kCheckpointEvent))
        return QStringLiteral("Older rows removed");
    if (name == QLatin1String(kGapEvent))
        return QStringLiteral("Events not recorded");
    return name;
}

bool eventKind(const QString &name, StationEvent::Kind *kind)
{
    for (const KindInfo &info : kKinds) {
        if (name == QLatin1String(info.name)) {
            *kind = info.kind;
            return true;
        }
    }
    return false;
}

QByteArray rowHash(const QByteArray &previousHash, const JournalRow &row)
{
    QByteArray data;
    data.reserve(previousHash.size() + 256);
    data.append(previousHash);
    appendField(data, row.timeMs);
    appendField(data, row.user.toUtf8());
    appendField(data, row.keySerial.toUtf8());
    appendField(data, row.keyBox.toUtf8());
    appendField(data, row.barcode.toUtf8());
    appendField(data, row.subject.toUtf8());
    appendField(data, row.school.toUtf8());
    appendField(data, row.examSchedId);
    appendField(data, row.lockRf.toUtf8());
    appendField(data, row.lockId.toUtf8());
    appendField(data, row.event.toUtf8());
    appendField(data, row.outcome.toUtf8());
    appendField(data, row.session);
    appendField(data, qint64(row.state));
    appendField(data, row.refSeq);
    appendField(data, row.refHash);
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

QByteArray zeroHash()
{
    return QByteArray(32, '\0');
}

QString storedText(const QString &text)
{
    // The round trip through UTF-8 replaces unpaired surrogates, which the database would not give
    // back as they went in; a NUL would cut the text short in some readers.
    QString clean = QString::fromUtf8(text.left(kMaxFieldChars).toUtf8());
    clean.remove(QChar(0));
    return clean;
}

QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return line.simplified();
}
