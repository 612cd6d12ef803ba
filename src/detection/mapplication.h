#pragma once

// The application object's services that the network dialogs call. The touch-calibration hold
// timer belongs to the panel's touch driver, which this build does not have: stopping it is a
// seam that only counts its calls, so a caller's duty to stop it can still be checked.
class MApplication {
public:
    // Stops the touch-calibration hold timer; called after a network dialog or card edit closes.
    static void manualStopTscTimeup();
    static int manualStopCount();
};
