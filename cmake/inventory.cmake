# quillet-inventory and what it needs: rapidjson (header-only) everywhere, SQLite and The Sleuth
# Kit where Debian has a build of them for the target (Linux only: Debian ships neither for
# mingw-w64), OpenSSL's libcrypto on Linux and the platform's BCrypt on Windows for SHA-256.
# The headers are the same for every target, so the Windows build takes the system's too; only
# they are put on its include path (through a link), never the rest of the system's headers.
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED CMAKE_FIND_ROOT_PATH_BOTH)
set(RAPIDJSON_ONLY_DIR ${PROJECT_BINARY_DIR}/rapidjson-include)
file(MAKE_DIRECTORY ${RAPIDJSON_ONLY_DIR})
file(CREATE_LINK ${RAPIDJSON_INCLUDE_DIR}/rapidjson ${RAPIDJSON_ONLY_DIR}/rapidjson SYMBOLIC)

# Debian's rapidjson (1.1.0) offsets its stacks' null pointer before their first allocation:
# undefined but harmless, mended upstream after that release. clang's check for it (gcc has none)
# is left out of the code that includes rapidjson, and only there.
set(QUILLET_RAPIDJSON_SANITIZE_EXCEPTION "")
if(QUILLET_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(QUILLET_RAPIDJSON_SANITIZE_EXCEPTION -fno-sanitize=pointer-overflow)
endif()
set_source_files_properties(src/inventory/json_lines.cpp PROPERTIES COMPILE_OPTIONS
                            "${QUILLET_RAPIDJSON_SANITIZE_EXCEPTION}")

add_library(quillet_inventory_core STATIC
  src/inventory/record.cpp
  src/inventory/json_lines.cpp
  src/inventory/csv.cpp
  src/inventory/file_outputs.cpp
  src/inventory/sqlite_store.cpp
  src/inventory/digests.cpp
  src/inventory/signed_digests.cpp
  src/inventory/signer_names.cpp
  $<IF:$<BOOL:${WIN32}>,src/inventory/signature_cryptoapi.cpp,src/inventory/signature_openssl.cpp>
  src/inventory/examine.cpp
  src/inventory/image_walk.cpp)
target_include_directories(quillet_inventory_core SYSTEM PUBLIC ${RAPIDJSON_ONLY_DIR})
target_link_libraries(quillet_inventory_core PUBLIC quillet_engine)
if(WIN32)
  target_link_libraries(quillet_inventory_core PUBLIC bcrypt crypt32 wintrust)
else()
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  find_package(SQLite3 REQUIRED)
  target_link_libraries(quillet_inventory_core PUBLIC OpenSSL::Crypto SQLite::SQLite3)
  target_compile_definitions(quillet_inventory_core PUBLIC QUILLET_HAVE_SQLITE)
  # Disk images, read through The Sleuth Kit (Debian's libtsk-dev; Debian has no build of it for
  # mingw-w64, so the Windows build says that the Linux build reads them).
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TSK REQUIRED IMPORTED_TARGET tsk)
  add_library(quillet_disk_image STATIC src/disk_image/disk_image.cpp src/disk_image/image_tree.cpp)
  target_link_libraries(quillet_disk_image PUBLIC quillet_platform PkgConfig::TSK)
  if(QUILLET_SANITIZE)
    # In every program that links it: a library member nothing names would be left out.
    target_sources(quillet_disk_image INTERFACE ${PROJECT_SOURCE_DIR}/src/disk_image/library_leaks.cpp)
  endif()
  target_link_libraries(quillet_inventory_core PUBLIC quillet_disk_image)
  target_compile_definitions(quillet_inventory_core PRIVATE QUILLET_HAVE_DISK_IMAGES)
endif()

add_executable(quillet-inventory src/inventory/main.cpp ${QUILLET_MANIFEST_RESOURCE})
target_link_libraries(quillet-inventory PRIVATE quillet_inventory_core)
