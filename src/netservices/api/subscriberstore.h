#pragma once

#include "base/safefile.h"
#include "base/storewriter.h"

#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

// One push target.
struct Skt_Session {
    QString address;
    int port = 0;
};

// The push subscriptions of the HTTP API: key "address;port;topic" -> time of the last
// registration (ms since the epoch), kept in "subscriber.ini" of the network workspace under
// "subscriber_groups" so that they survive a restart. A registration lives one hour after its
// last refresh; expiry is applied whenever the map is read for a topic. Registrations come
// from the plant network, so what is kept is bounded: literal addresses only (a push never
// resolves a name), whole ports, short topics, a fixed number of keys, and fewer for each
// requesting address, so that one client cannot keep every other out. A client may always
// refresh a key it registered itself. Which address registered a key is known only until a
// restart: a key read back from the file is taken on by the first client that refreshes it.
// The file is written by the program's store writer when there is one (the main window's), so
// the GUI thread never waits for the disk; without one it is written at once. Either way a
// store the disk does not take (full) is tried again until it does. A map that still waits in
// the writer is newer than the file: opening the file again (a restart of the network side)
// takes that map from memory instead of waiting for the disk.
// Touched only in the thread of the API server (the GUI thread).
class SubscriberStore {
public:
    static constexpr qint64 kLifeMs = 3600000;
    static constexpr int kMaxKeys = 256;
    static constexpr int kMaxKeysPerAddress = 8;
    static constexpr int kMaxTopicLength = 64;

    struct Registration {
        QStringList keys;   // every live key, in key order
        QString refusal;    // names the limit that refused a registration; empty when none did
    };

    // (Re)loads the map from the file at path (an empty map when it holds none), or the map whose
    // store to that file still waits in writer. A file that does not read as one is copied aside
    // (keepBrokenCopy) and replaced by an empty one. Entries that no registration could make (an
    // address, port or topic subscribe refuses, a time that is no number or is in the future,
    // live keys beyond kMaxKeys in key order) are dropped, each with a warning, after one copy
    // of the file; the file then holds what is kept. Later stores go through writer when given.
    void open(const QString& path, StoreWriter* writer = nullptr);

    // Registers the valid elements of a "subscriber" array sent from the address requester
    // and drops what has expired.
    Registration subscribe(const QJsonArray& elements, const QString& requester);
    // The live subscribers of exactly this topic; expired keys are removed and the file rewritten.
    QList<Skt_Session> subscribersOf(const QString& topic);

    QStringList keys() const { return m_map.keys(); }

private:
    // Removes what is over an hour old; a time ahead of now (the clock was set back) is
    // taken as now, so no registration outlives an hour of the new clock either. True when the
    // map changed.
    bool expire();
    void dropUnusable();
    void store();
    bool accept(const QJsonObject& element, QString* key) const;

    QString m_path;
    QMap<QString, QVariant> m_map;
    QPointer<StoreWriter> m_writer;
    // Without a writer: the last store failed, the next registration or read tries again.
    bool m_unstored = false;
    // Shared with the stores that wait in the writer.
    std::shared_ptr<WriteStateLog> m_storeLog = std::make_shared<WriteStateLog>(QStringLiteral("the subscriptions"));
    QHash<QString, QString> m_requesters;   // key -> the address that registered it
};
