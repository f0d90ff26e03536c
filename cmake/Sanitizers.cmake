# AddressSanitizer and UndefinedBehaviorSanitizer for the whole tree, switched on by
# SELVARN_SANITIZE; the test command builds a second tree with it. The fuzzers need the
# same runtime, so SELVARN_FUZZ (clang) turns it on as well and that one tree serves both.
option(SELVARN_FUZZ "Build the libFuzzer targets (needs clang; implies SELVARN_SANITIZE)" OFF)
option(SELVARN_SANITIZE "Build everything with ASan and UBSan" OFF)
if(SELVARN_FUZZ AND NOT SELVARN_SANITIZE)
  set(SELVARN_SANITIZE ON CACHE BOOL "Build everything with ASan and UBSan" FORCE)
endif()
if(SELVARN_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "SELVARN_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
endif()
if(SELVARN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
