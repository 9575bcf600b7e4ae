# libgcrypt: 3DES, MD5, big numbers and randomness on the host side.
# Linked statically into the Windows builds so the DLL carries no extra runtime.
if(WIN32)
  find_library(GCRYPT_LIBRARY NAMES libgcrypt.a gcrypt REQUIRED)
  find_library(GPG_ERROR_LIBRARY NAMES libgpg-error.a gpg-error REQUIRED)
  find_path(GCRYPT_INCLUDE_DIR gcrypt.h REQUIRED)
  add_library(helix::gcrypt INTERFACE IMPORTED)
  target_include_directories(helix::gcrypt INTERFACE ${GCRYPT_INCLUDE_DIR})
  target_link_libraries(helix::gcrypt INTERFACE ${GCRYPT_LIBRARY} ${GPG_ERROR_LIBRARY} ws2_32)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  add_library(helix::gcrypt ALIAS PkgConfig::GCRYPT)
  pkg_check_modules(PCSCLITE REQUIRED IMPORTED_TARGET libpcsclite)
  add_library(helix::pcsclite ALIAS PkgConfig::PCSCLITE)
endif()

# UTF8-CPP is header only; the cross builds take the same headers from the host.
find_path(UTFCPP_INCLUDE_DIR utf8.h PATHS /usr/include/utf8cpp NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(helix::utfcpp INTERFACE IMPORTED)
target_include_directories(helix::utfcpp SYSTEM INTERFACE ${UTFCPP_INCLUDE_DIR})
