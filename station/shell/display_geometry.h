#pragma once
// Where things sit in the station's 512 × 300 display picture. The drawing
// (display.cpp), the mouse rules (band_controls.cpp) and the main window's
// lamp repaint share these figures, so a press lands on what was drawn.
// Columns and rows in pixels; a row "above B" counts up from spectrumBaseY
// (B, the row of the newest waterfall line).

namespace station {

inline constexpr int displayWidth = 512;  // pixels
inline constexpr int displayHeight = 300; // pixels

// Keying lamp: a square at columns 495 … 504, rows 2 … 11.
inline constexpr int keyingLampLeft = 495;
inline constexpr int keyingLampTop = 2;
inline constexpr int keyingLampSize = 10;

// Filter-length strip: six cells of 20 columns from column 1, one per tap
// count 32, 64 … 1024 (the first cell, crossed out, is "off"); frame rows 5
// and 15, frame columns 1, 21 and 119. A press on rows 5 … 15, columns
// 1 … 119 picks the cell under it.
inline constexpr int lengthStripLeft = 1;
inline constexpr int lengthStripRight = 119;
inline constexpr int lengthStripTop = 5;
inline constexpr int lengthStripBottom = 15;
inline constexpr int lengthCellWidth = 20;

// Texts of the header area: the filter state, the credit, the client's
// status, and at column 5 the connection time and receive-buffer lines.
inline constexpr int headerTextX = 123, headerTextY = 5;
inline constexpr int creditX = 310, creditY = 40;
inline constexpr int clientStatusX = 290, clientStatusY = 22;
inline constexpr int statusColumn = 5;
inline constexpr int connectionTimeY = 23;
inline constexpr int receiveBufferY = 43;
// Single status lines written by other parts: column 10, row B + 1.
inline constexpr int statusLineX = 10;
// The five help lines: column 5, rows B + k × L − 10 for k = 1 … 5 (L: the
// line height).
inline constexpr int helpColumn = 5;
inline constexpr int helpRaiseRows = 10;

// Everything above row B − 30 (header, texts, trace) is redrawn with each
// spectrum; the trace rises from row B − 31.
inline constexpr int headerAreaAboveBase = 30;
inline constexpr int traceBaseAboveBase = 31;

// Frequency scale: ticks from row B − 28, short ones (every 100 Hz) to
// B − 24, long ones (every 500 Hz) to B − 19; the labelled ticks at 1000,
// 2000 and 3000 Hz run from B − 30 to B − 26. Lines exclude their end row.
inline constexpr int scaleTickTopAboveBase = 28;
inline constexpr int shortTickEndAboveBase = 24;
inline constexpr int longTickEndAboveBase = 19;
inline constexpr int labelTickTopAboveBase = 30;
inline constexpr int labelTickEndAboveBase = 26;
// Scale columns per Hz: 1024 columns stand for the 8000 Hz sample rate.
inline constexpr double scaleColumnsPerHz = 0.128;

// Band-marker handles: drawn on rows B − 80 … B − 67 at an edge's column
// ± 1; a press on rows B − 79 … B − 66 less than 3 columns from an edge
// grabs that edge. The edge lines run from row B − 80 to B + H − 2.
inline constexpr int handleTopAboveBase = 80;
inline constexpr int handleEndAboveBase = 66;
inline constexpr int handleGrabReach = 3;

// A press below row 30 (outside the strip and the handles) and at most at
// column 512 moves the band's centre there.
inline constexpr int bandPressTopRow = 30;

} // namespace station
