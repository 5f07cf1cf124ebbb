# KA_SANITIZE=address builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# KA_SANITIZE=thread with ThreadSanitizer. Use a separate build directory for each.
if(KA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KA_SANITIZE must be address, thread or empty, not '${KA_SANITIZE}'")
endif()
