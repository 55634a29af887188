# The product's folders are layers: each may include only itself and the
# folders below it. Every folder builds into a library of its own whose
# compiler sees, instead of the source tree, a directory that holds links to
# just those folders, so that an include that points upward does not build.
# tests/layers checks the same rule by reading the includes.

# The folders below each product folder (closed downward).
set(QM_LAYERS_BELOW_framework "")
set(QM_LAYERS_BELOW_host "")
set(QM_LAYERS_BELOW_midi framework)
set(QM_LAYERS_BELOW_bindings host framework)
set(QM_LAYERS_BELOW_controller bindings midi host framework)
set(QM_LAYERS_BELOW_plugin controller bindings midi host framework)

# The include directory that a product folder's sources see.
function(qm_layer_include_dir folder out)
  set(dir ${PROJECT_BINARY_DIR}/layers/${folder})
  foreach(visible IN LISTS QM_LAYERS_BELOW_${folder} ITEMS ${folder})
    if(NOT EXISTS ${dir}/${visible})
      file(MAKE_DIRECTORY ${dir})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${visible} ${dir}/${visible} SYMBOLIC)
    endif()
  endforeach()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()

# qm_layer(TARGET FOLDER SOURCES...): a static library of one product folder.
function(qm_layer target folder)
  add_library(${target} STATIC ${ARGN})
  qm_layer_include_dir(${folder} dir)
  target_include_directories(${target} PRIVATE ${dir})
endfunction()
