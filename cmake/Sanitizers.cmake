# AddressSanitizer and UndefinedBehaviorSanitizer for the whole tree, switched on by
# SELVARN_SANITIZE; the test command builds a second tree with it.
option(SELVARN_SANITIZE "Build everything with ASan and UBSan" OFF)
if(SELVARN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
