// The emulation's records against the layouts the shipped image is compiled with:
// on i386 the 32-bit host build asserts every figure of layout_i386.h, which
// layout.sh takes from the DDK (and the test layout.ddk_matches keeps current).
// A .sys loaded into the emulation reads and writes these records by offset, so a
// difference is a compile error here rather than a corruption at run time.
#include <cstddef>

#include "driver/port_extension.h"
#include "lower/pipe_handle.h"
#include "platform/kernel.h"
#include "rx/ring_buffer.h"

#if defined(__i386__)
#include "layout_i386.h"

#define LAYOUT_TYPE(T) +1
#define LAYOUT_FIELD(T, f) +1
#define LAYOUT_TAIL(T, f) +1
constexpr int kListedEntries = 0
#include "layout_fields.h"
    ;
static_assert(VCOM_LAYOUT_I386_ENTRIES == kListedEntries,
              "layout_i386.h does not cover layout_fields.h: run tests/layout/layout.sh update");
#endif
