#pragma once
// The gauge control TGauge and the bitmap TBltBitmap.
