#pragma once
// The media device component TMediaPlayer.
