// SPDX-License-Identifier: MIT
// Largest raster the page takes: its bytes, mask and angles must fit the
// module's 4 GiB of memory with room to spare, and the tab must stay usable.
// A module of its own, so that the modules that check it load without the
// WebAssembly build (tests/pure_modules.test.mjs runs them under node).
export const max_pixels = 100_000_000;
