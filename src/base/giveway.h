#pragma once

#include <QtGlobal>

// Which connection of a full server gives way to a new one. The servers share one rule, so that
// a burst of connections that only open can never push out a client that polls: a connection that
// never asked anything goes first, the oldest of them (most likely one its client has forgotten);
// then the one idle longest; one active within the busy time never goes, and the new connection
// is refused instead. An accept is no activity.
//
// The caller offers every connection, then takes leaving(): the key it gave, or none.
template <typename Key>
class GiveWay {
public:
    GiveWay(qint64 nowMs, qint64 busyMs) : m_now(nowMs), m_busy(busyMs) {}

    // acceptOrder grows with every accept; lastActiveMs is on the caller's clock, negative while
    // the connection has not been active yet.
    void offer(const Key& key, quint64 acceptOrder, bool asked, qint64 lastActiveMs)
    {
        if (lastActiveMs >= 0 && m_now - lastActiveMs < m_busy)
            return;
        if (!asked) {
            if (!m_silent || acceptOrder < m_silentOrder) {
                m_silent = true;
                m_silentKey = key;
                m_silentOrder = acceptOrder;
            }
            return;
        }
        if (!m_idle || lastActiveMs < m_idleSince) {
            m_idle = true;
            m_idleKey = key;
            m_idleSince = lastActiveMs;
        }
    }

    bool found() const { return m_silent || m_idle; }
    // The connection to close; only when found().
    Key leaving() const { return m_silent ? m_silentKey : m_idleKey; }
    // It goes for never having asked anything (else for being idle longest).
    bool leavingIsSilent() const { return m_silent; }

private:
    const qint64 m_now;
    const qint64 m_busy;
    bool m_silent = false;
    Key m_silentKey{};
    quint64 m_silentOrder = 0;
    bool m_idle = false;
    Key m_idleKey{};
    qint64 m_idleSince = 0;
};
