#pragma once

// Qt keeps its runtime files in the folder XDG_RUNTIME_DIR names, which a headless box or a root
// shell does not set; Qt then warns at every start that it falls back to "<temp>/runtime-<user>",
// a line nobody at the terminal can act on. Called before the application object, this names that
// same folder (made private when missing), so Qt has no cause to warn; a folder already named is
// left as it is, and one Qt finds wrong (another owner) it still reports.
void provideRuntimeFolder();
