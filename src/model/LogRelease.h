#pragma once

class GlyphStore;

// Letting go of a loaded log that no view shows any more.
//
// A log of 800000 events is some hundred thousand heap blocks (events,
// histogram entries, traces, pooled texts); freeing them takes a good part
// of a second. The GUI thread only takes the store apart: its contexts (Qt
// objects of the GUI thread) are deleted there, emptied first, and their
// data are freed in order on one background thread, which then gives the
// freed memory back to the system (where the C library allows it), so that
// a smaller log loaded in place of a large one does not keep the large
// one's resident size.
namespace logrelease {

// Deletes the store with its whole context tree. Call it on the GUI thread
// once nothing reads the store any more (no view shows it, no worker or
// pool job reads it). Events and values the GUI still holds elsewhere (a
// selection, a copied value) stay valid: they are reference counted and go
// with their last holder. Throws nothing: without memory to set the data
// aside, they are freed here.
void releaseStore(GlyphStore* store);
// Returns once everything handed to releaseStore() so far is freed and
// its memory given back.
void waitForReleases();

} // namespace logrelease
