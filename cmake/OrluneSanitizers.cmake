# The sanitizer flags of the ORLUNE_SANITIZE build, in one place: the project
# build and the bundle fuzzer (tests/fuzz) both include this file.
set(ORLUNE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
                           -fno-omit-frame-pointer)
