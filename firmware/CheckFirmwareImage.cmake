# Refuses, at configure time, an image the update could never write: the erase
# request carries the page count minus one in one byte, and 0xFF there would mean
# "erase everything", so at most 254 whole pages of 1,024 bytes plus 1,023 bytes.
# Also runs as a script, so the refusal itself can be tested:
#   cmake -DTALVEX_FIRMWARE_IMAGE=/path/file.bin -P CheckFirmwareImage.cmake

# Smallest image worth carrying.
set(TALVEX_FIRMWARE_MIN_BYTES 1)
# 254 * 1024 + 1023: the largest image whose page count minus one stays below 0xFF.
set(TALVEX_FIRMWARE_MAX_BYTES 261119)

function(talvex_check_firmware_image image)
  if(NOT EXISTS "${image}" OR IS_DIRECTORY "${image}")
    message(FATAL_ERROR "Firmware image not found: ${image}")
  endif()
  file(SIZE "${image}" size)
  if(size LESS TALVEX_FIRMWARE_MIN_BYTES)
    message(FATAL_ERROR "Firmware image ${image} is empty; the tool refuses to carry it.")
  endif()
  if(size GREATER TALVEX_FIRMWARE_MAX_BYTES)
    message(FATAL_ERROR "Firmware image ${image} has ${size} bytes; the tool carries at most "
                        "${TALVEX_FIRMWARE_MAX_BYTES} bytes (255 erase pages of 1,024 bytes).")
  endif()
  message(STATUS "Firmware image: ${image} (${size} bytes)")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED TALVEX_FIRMWARE_IMAGE)
    message(FATAL_ERROR "Pass -DTALVEX_FIRMWARE_IMAGE=/path/file.bin")
  endif()
  talvex_check_firmware_image("${TALVEX_FIRMWARE_IMAGE}")
endif()
