#pragma once

#include <QMutex>

// Process-wide locks created once by main before the main window.
extern QMutex* pMutexIO;
extern QMutex* pMutexSaveFail;   // guards the picture hand-over area

// Creates the locks that do not exist yet (main, and tests that use the hand-over area).
void createGlobalMutexes();

// Registers the base types that travel through queued signals.
void registerMetaTypes();
