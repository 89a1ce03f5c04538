// Loading the carried pictures, with a message box for every failure.
#pragma once

struct PlatformImage;

// Finds the "PNG" resource with this id and decodes it. On any failure shows exactly one box
// ("Resource Error" or "GDI+ Error") and returns null.
PlatformImage* LoadPngResource(int id);
