# One interface target carries the project's compiler settings; every target links it.
add_library(vesk_settings INTERFACE)
target_compile_features(vesk_settings INTERFACE cxx_std_20)
target_compile_options(vesk_settings INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor)
if(VESK_WERROR)
  target_compile_options(vesk_settings INTERFACE -Werror)
endif()
target_compile_definitions(vesk_settings INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_USE_QSTRINGBUILDER
  VESK_VERSION="${PROJECT_VERSION}"
  VESK_DISPLAY_NAME="${VESK_DISPLAY_NAME}")

if(VESK_SANITIZE STREQUAL "address")
  target_compile_options(vesk_settings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(vesk_settings INTERFACE -fsanitize=address,undefined)
elseif(VESK_SANITIZE STREQUAL "thread")
  target_compile_options(vesk_settings INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(vesk_settings INTERFACE -fsanitize=thread)
elseif(NOT VESK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VESK_SANITIZE must be empty, address or thread")
endif()
