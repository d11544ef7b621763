#include "model/LogRelease.h"

#include "model/GlyphStore.h"

namespace logrelease {

void releaseStore(GlyphStore* store)
{
    delete store;
}

void waitForReleases()
{
}

} // namespace logrelease
