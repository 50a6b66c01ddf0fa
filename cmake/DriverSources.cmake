# The driver's sources, shared by the Windows and the host build.
set(VCOM_DRIVER_SOURCES
  ${CMAKE_SOURCE_DIR}/driver/driver_entry.cpp
)
