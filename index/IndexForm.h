#pragma once
// The index window TIndex and the index file.
