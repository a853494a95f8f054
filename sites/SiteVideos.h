// The real extractors behind the main window's dispatch: one constructor per extractor kind.
// Called on the UI thread; the caller owns the result.
#pragma once

#include <cstdint>
#include <memory>

#include "sites/TVideo.h"

// kind is a videoKind* value; quality is the YouTube quality (Options.Format). Null when no
// extractor for the kind is built into this program.
std::unique_ptr<TVideo> CreateSiteVideo(int32_t kind, int32_t quality);
