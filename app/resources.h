#pragma once

// Registers the built-in images under ":/assets/". The resources live in the
// static core library, so the linker keeps them only when this is referenced.
void initSealStationResources();
