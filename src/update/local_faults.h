// Local faults of the update: what this computer, not the release, kept an update from happening (a
// helper copy that could not be made, a locked executable, a full disk). They are not remembered against
// the release; they count towards the back-off, across the runs of the program, until an install.
#pragma once

// The count of local faults in a row on this computer (state values "LocalUpdateFaults" and
// "LocalUpdateFaultComputer"); 0 when there is none, or the count was made on another computer.
int ReadLocalFaults();

// Stores the count for this computer; 0 clears it.
void WriteLocalFaults(int count);

// One more local fault: the stored count plus one (for the helper, which has no schedule of its own).
void CountLocalFault();
