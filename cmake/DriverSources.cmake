# The driver's sources, shared by the Windows and the host build.
set(VCOM_DRIVER_SOURCES
  ${CMAKE_SOURCE_DIR}/driver/driver_entry.cpp
  ${CMAKE_SOURCE_DIR}/driver/add_device.cpp
  ${CMAKE_SOURCE_DIR}/driver/pnp.cpp
  ${CMAKE_SOURCE_DIR}/driver/power.cpp
  ${CMAKE_SOURCE_DIR}/lower/pipe_handle.cpp
  ${CMAKE_SOURCE_DIR}/port/open_close.cpp
  ${CMAKE_SOURCE_DIR}/rx/ring_buffer.cpp
  ${CMAKE_SOURCE_DIR}/rx/receive_pump.cpp
  ${CMAKE_SOURCE_DIR}/rx/read.cpp
  ${CMAKE_SOURCE_DIR}/tx/direct_write.cpp
  ${CMAKE_SOURCE_DIR}/tx/buffered_write.cpp
  ${CMAKE_SOURCE_DIR}/lines/status_polling.cpp
  ${CMAKE_SOURCE_DIR}/ioctl/dispatcher.cpp
  ${CMAKE_SOURCE_DIR}/wmi/wmi_provider.cpp
)
