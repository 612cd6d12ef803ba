#pragma once

#include <QByteArray>
#include <QString>

// Writes a whole file so that a power cut leaves either the old or the new content
// (temporary file, flush, rename). Creates missing parent folders. False on any failure.
bool writeFileAtomically(const QString& path, const QByteArray& content);
