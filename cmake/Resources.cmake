# On Windows the linker puts compiled resources into the module and the
# system finds them there. On Linux the same .rc files are compiled with the
# same resource compiler, and every module that links `target` carries their
# bytes and registers them with the platform library's loader at start-up, so
# that dialogs come from exactly the templates Windows uses.
function(qm_embed_resources target)
  find_program(QM_WINDRES NAMES i686-w64-mingw32-windres x86_64-w64-mingw32-windres windres
               REQUIRED)
  set(sources)
  foreach(rc ${ARGN})
    get_filename_component(rc ${rc} ABSOLUTE)
    get_filename_component(name ${rc} NAME_WE)
    set(res ${CMAKE_CURRENT_BINARY_DIR}/resources/${name}.res)
    set(cpp ${CMAKE_CURRENT_BINARY_DIR}/resources/${name}_res.cpp)
    add_custom_command(
      OUTPUT ${res}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/resources
      COMMAND ${QM_WINDRES} -i ${rc} -O res -o ${res}
      DEPENDS ${rc}
      COMMENT "Compiling resources ${name}.rc")
    add_custom_command(
      OUTPUT ${cpp}
      COMMAND ${CMAKE_COMMAND} -DINPUT=${res} -DOUTPUT=${cpp} -DNAME=${name} -P
              ${PROJECT_SOURCE_DIR}/cmake/embed_resources.cmake
      DEPENDS ${res} ${PROJECT_SOURCE_DIR}/cmake/embed_resources.cmake)
    list(APPEND sources ${cpp})
  endforeach()
  add_library(${target}_resources OBJECT ${sources})
  target_link_libraries(${target}_resources PRIVATE qmplatform)
  # Objects given to each linking module directly: a static library would drop
  # them, since nothing calls into them.
  target_sources(${target} INTERFACE $<TARGET_OBJECTS:${target}_resources>)
  add_dependencies(${target} ${target}_resources)
endfunction()
