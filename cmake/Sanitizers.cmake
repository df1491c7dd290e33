# UPG_SANITIZE="address,undefined" or "thread" instruments every target of the build.
if(UPG_SANITIZE)
  set(_san -fsanitize=${UPG_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_san} -g)
  add_link_options(${_san})
endif()
