# One sanitizer set for the whole tree, so that every library and test agrees on the runtime.
if(TARNWELL_SANITIZE)
  add_compile_options(-fsanitize=${TARNWELL_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TARNWELL_SANITIZE})
  if(TARNWELL_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
