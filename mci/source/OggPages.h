// The page structure of an Ogg file, as far as the length of its sound and a seek in it need it.
#pragma once

#include <QString>

namespace mci {

enum class OggChains { One, Several, Unsure };

// Whether the file is one Ogg chain: its pages follow one another from the first byte to the
// last, and every page that begins a logical stream comes before any page of data. A chained
// file (files joined end to end, a radio recording whose stream began again) counts its
// granule positions afresh in each chain, so its last one is the length of the last chain
// only, and a time names a place in each chain. Unsure where pages do not follow one another
// (damage).
OggChains oggChains(const QString& path);

}  // namespace mci
