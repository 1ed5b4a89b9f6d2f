#pragma once
// Registers the compiled-in pictures (device, emblem, icon). Call once after
// the application object exists.
void ktr6InitResources();
