#pragma once

#include <QByteArray>
#include <QString>

// Full-disk tests: a test program re-runs some of its own tests under `unshare -m`, a private
// mount namespace (root only), where they mount a small tmpfs and fill it. Nothing is ever
// mounted outside such a namespace.
namespace FullDisk {

// What the outer run found.
struct Rerun {
    QString skipped;   // why the inner tests could not run here; empty when they ran
    bool finished = false;
    int exitCode = -1;
    QByteArray output;

    // Every one of the given number of inner tests ran and passed.
    bool passed(int tests) const
    {
        return finished && exitCode == 0
               && output.contains("[  PASSED  ] " + QByteArray::number(tests) + (tests == 1 ? " test." : " tests."));
    }
};

// Runs this test program again with the given gtest filter in a private mount namespace.
Rerun rerunInPrivateMounts(const QString& filter, int timeoutMs = 90000);

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
