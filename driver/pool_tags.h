// Pool tags and the remove-lock tag. A pool dump shows each as the four characters
// written here.
#pragma once

#include "platform/kernel.h"

constexpr ULONG TAG_FILT = VcomPoolTag("filt");  // registry path copy, registry reader, control transfers
constexpr ULONG TAG_INIT = VcomPoolTag("init");  // interface link name copy, DOS name, registry strings
constexpr ULONG TAG_MWMI = VcomPoolTag("mwmi");  // the WMI port-name reader
constexpr ULONG TAG_CREA = VcomPoolTag("crea");  // receive transfer buffer
constexpr ULONG TAG_CIRC = VcomPoolTag("circ");  // ring storage
constexpr ULONG TAG_KLVO = VcomPoolTag("KLVO");  // the remove lock
