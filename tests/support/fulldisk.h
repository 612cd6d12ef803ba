#pragma once

#include <QString>

// Full-disk tests: a test program re-runs some of its own tests under `unshare -m`, a private
// mount namespace (root only), where they mount a small tmpfs and fill it. Nothing is ever
// mounted outside such a namespace.
namespace FullDisk {

// The outer test's whole body: re-runs the inner tests matching filter and expects all `tests` of
// them to pass, or skips the calling test with the reason they could not run here.
void expectInnerTestsPass(const QString& filter, int tests);

// True only in the process the outer run started, and only when its mount namespace really is
// not the one of the process that started it.
bool inPrivateMounts();

// Mounts a tmpfs of the given size on folder (made when missing). False when it cannot; it then
// says so on the output, the inner test skips, and so does the outer run.
bool mountSmallDisk(const QString& folder, int kilobytes);
void unmount(const QString& folder);

// Fills the file system of folder with a filler file until it takes no more byte, then gives
// back the given number of bytes (a nearly full disk fails writes differently); release()
// removes the filler again.
bool fill(const QString& folder, qint64 leaveBytes = 0);
void release(const QString& folder);

}  // namespace FullDisk
