// One run of the updater on an existing QApplication: port dialog, file choice, transfer, idle.
#pragma once

// Returns the run's exit status, which is always 0.
int RunUpdater();
