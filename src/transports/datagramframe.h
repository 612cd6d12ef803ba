#pragma once

#include "netcore/taskformdata.h"

#include <QByteArray>
#include <QHostAddress>

// The bytes the transport's message writer produces for a record, gathered into one buffer so
// they can leave as a single datagram. The HOST line names `peer`:`peerPort`, as it names the
// socket's other end over TCP. A record with a file body is not framed (empty result): files
// are streamed and do not fit a datagram.
QByteArray frameDatagram(const CTask_FormData& record, const QHostAddress& peer, quint16 peerPort);
