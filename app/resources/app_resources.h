// The program's images (icon, toolbar strip) are compiled into the static
// core library; this registers them before first use.
#pragma once

void initAppResources();
