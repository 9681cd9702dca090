#pragma once

#include <QMetaType>
#include <QString>

// One step of the station's work, as the packing page and the window saw it. The page fills in what
// it knows of the bag; the window adds the operator and the key before passing it on. Listeners get
// it through a direct connection, before the next request to the service or the key goes out.
struct StationEvent
{
    enum class Kind
    {
        SignedIn,        // an operator signed in; `user` is set
        SignedOut,       // the operator logged out (or the program ended while signed in)
        Linked,          // a scanned bag was linked to its exam and school
        LinkFailed,      // the service linked nothing to the scanned code
        TagRead,         // the key read the lock's tag: `lockRf`
        SealsReplaced,   // the operator chose to replace the earlier seals; the renames go out next
        SealRequested,   // the seal record goes out next: `lockId` is known
        SealRecorded,    // the service holds the seal; the close request goes out next
        SealUnanswered,  // the seal record got no answer (time limit, connection lost): it may be held
        CloseConfirmed,  // the key reported the lock closed
        CloseFailed,     // the key reported a failure instead of the close; `outcome` is its text
        KeyLost,         // the key went away before it confirmed the close or the open
        UnlockRequested, // the open request goes out next
        Unlocked,        // the key reported the lock open
        UnlockFailed,    // the key reported a failure instead of the open
        Failed           // any other failure of a Pack; `outcome` is the message shown
    };

    Kind kind = Kind::Failed;
    QString user;
    QString keySerial;
    QString keyBox;
    QString barcode;
    QString subject;
    QString school;
    qint64 examSchedId = -1;
    QString lockRf;
    QString lockId;
    // What the operator was shown: the status message, or the key's display text.
    QString outcome;
};

Q_DECLARE_METATYPE(StationEvent)
