#pragma once

#include <QString>

// Tests that start the whole program meet its fixed ports (502, 10100), which a copy already
// running on this machine (./run.sh) holds. As root, the outer test re-runs them under
// `unshare -n`, a private network namespace with only its own loopback, where those ports are
// always free; where that cannot be done they run in the machine's network as they are.
namespace PrivateNetwork {

// Root, unshare -n and ip are here: the tests can have a network of their own.
bool available();

// True only in the process the outer run started, and only when its network namespace really is
// not the one of the process that started it. Brings the namespace's loopback up at the first
// call.
bool inside();

// The tests meant for a private network skip in the machine's own when they can run in one.
bool runsElsewhere();

// The outer test's whole body: re-runs the tests matching filter in a private network and
// expects all `tests` of them to pass, or skips the calling test with why it cannot.
void expectInnerTestsPass(const QString& filter, int tests, int timeoutMs = 110000);

}  // namespace PrivateNetwork
