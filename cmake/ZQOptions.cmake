# Compiler settings shared by every target of the kit.
add_library(zq_options INTERFACE)
add_library(ZQ::options ALIAS zq_options)
target_compile_options(zq_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                            -Wno-missing-field-initializers)
if(ZQ_WERROR)
  target_compile_options(zq_options INTERFACE -Werror)
endif()
# GCC 12 reports maybe-uninitialized inside the standard library (std::regex, std::function) once
# sanitizer instrumentation is optimised; the normal build still reports the warning for our code.
if(ZQ_SANITIZE OR ZQ_TSAN)
  target_compile_options(zq_options INTERFACE -Wno-maybe-uninitialized)
endif()
if(ZQ_SANITIZE)
  target_compile_options(zq_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                              -fno-sanitize-recover=undefined)
  target_link_options(zq_options INTERFACE -fsanitize=address,undefined)
  target_compile_definitions(zq_options INTERFACE ZQ_SANITIZED=1)
endif()
if(ZQ_TSAN)
  target_compile_options(zq_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(zq_options INTERFACE -fsanitize=thread)
  target_compile_definitions(zq_options INTERFACE ZQ_SANITIZED=1 ZQ_TSAN=1)
endif()
if(ZQ_DCHECK)
  target_compile_definitions(zq_options INTERFACE ZQ_DCHECK_IS_ON=1)
else()
  target_compile_definitions(zq_options INTERFACE ZQ_DCHECK_IS_ON=0)
endif()
