/* Mending the recorder's own tracks that a power cut left torn. */
#ifndef RECORDER_TRACK_REPAIR_H
#define RECORDER_TRACK_REPAIR_H

#include "../contract/base.h"

/* Mends every track of the recorder's in the folder of TRACKS_PATH, a plain
 * prefix: a file whose name is the prefix's last part followed by
 * "YYYY-MM-DD_hh-mm-ss.gpx" and that begins with the header built from that
 * name. Such a file that does not end in whole point lines and the footer
 * is cut back to its last whole point line and given the footer; one whose
 * header itself is torn (a part of it, then nothing or zeros) gets the whole
 * header and the footer: an empty track under its name. Files that another
 * handle can write (another live recorder's) are passed over, and nothing
 * is ever deleted. Each file costs one read of its header and one of its
 * last TRACK_TAIL_WINDOW bytes. */
void repairTracks(const WideChar* tracksPath);

#endif
