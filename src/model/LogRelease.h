#pragma once

class GlyphStore;

// Letting go of a loaded log that no view shows any more.
//
// A log of 800000 events is some hundred thousand heap blocks (events,
// histogram entries, traces, pooled texts); freeing them takes a good part
// of a second. The GUI thread only takes the store apart: its contexts (Qt
// objects of the GUI thread) are deleted there, emptied first, and their
// data are freed in order on one background thread.
namespace logrelease {

// Deletes the store with its whole context tree. Call it on the GUI thread
// once nothing reads the store any more (no view shows it, no worker or
// pool job reads it). Events and values the GUI still holds elsewhere (a
// selection, a copied value) stay valid: they are reference counted and go
// with their last holder.
void releaseStore(GlyphStore* store);
// Returns once everything handed to releaseStore() so far is freed.
void waitForReleases();

} // namespace logrelease
