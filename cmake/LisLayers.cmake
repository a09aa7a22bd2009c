# The headless parts (the laboratory library, the analyser library, the
# interface program, and the result windows' models, tested without a
# window) must never pull in a widget library: a daemon on a server has no
# display and should not load one. The link closure is read
# here, after every target exists; the test reads it and the program's ldd.
function(lis_link_closure target out)
  set(seen "")
  set(todo ${target})
  while(todo)
    list(POP_FRONT todo item)
    if(item IN_LIST seen OR NOT TARGET ${item})
      continue()
    endif()
    list(APPEND seen ${item})
    get_target_property(type ${item} TYPE)
    set(links "")
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${item} LINK_LIBRARIES)
      if(direct)
        list(APPEND links ${direct})
      endif()
    endif()
    get_target_property(iface ${item} INTERFACE_LINK_LIBRARIES)
    if(iface)
      list(APPEND links ${iface})
    endif()
    foreach(link IN LISTS links)
      # Static libraries list their private links as $<LINK_ONLY:x>.
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
      if(TARGET ${link})
        get_target_property(aliased ${link} ALIASED_TARGET)
        if(aliased)
          set(link ${aliased})
        endif()
        list(APPEND todo ${link})
      endif()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(lis_add_headless_check)
  set(closures "")
  foreach(target lis_labserver lis_instrument lis-instrument lis_window_model)
    lis_link_closure(${target} closure)
    string(REPLACE ";" "," closure "${closure}")
    list(APPEND closures "${target}:${closure}")
  endforeach()
  string(REPLACE ";" "|" closures "${closures}")
  add_test(NAME tst_headless_layers
           COMMAND ${CMAKE_COMMAND} "-DCLOSURES=${closures}"
                   "-DPROGRAM=$<TARGET_FILE:lis-instrument>"
                   -P ${CMAKE_SOURCE_DIR}/cmake/CheckHeadless.cmake)
endfunction()
