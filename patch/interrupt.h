// Interruptions of a run (Ctrl-C, a termination signal, a closing console) turned into a
// request that the run's loops look at between steps, so that no step is cut in half.
#pragma once

// From now on an interruption is noted instead of ending the process.
void patch_catch_interruptions();
// Whether an interruption has been noted.
bool patch_interrupted();
