// Stand-ins for driver symbols the shipped image does not contain (code that nothing
// in the driver calls yet is not linked into it): a test that reaches one stops with
// the symbol's name instead of running host code in place of the image's.
#pragma once

[[noreturn]] void ImageSymbolMissing(const char* symbol);
extern const int kImageSymbolsBound;
extern const int kImageSymbolsMissing;
