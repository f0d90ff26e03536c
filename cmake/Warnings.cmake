# One place for the flags every target of the project shares.
add_library(selvarn_flags INTERFACE)
target_compile_features(selvarn_flags INTERFACE cxx_std_20)
target_compile_options(selvarn_flags INTERFACE -Wall -Wextra -Wpedantic -Werror)
