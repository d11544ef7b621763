#pragma once

class GlyphStore;

// Letting go of a loaded log that no view shows any more.
namespace logrelease {

// Deletes the store with its whole context tree.
void releaseStore(GlyphStore* store);
// Returns once everything handed to releaseStore() so far is freed.
void waitForReleases();

} // namespace logrelease
