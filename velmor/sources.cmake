# velmor's stages below main, one folder each, lower stages first; read by
# velmor/CMakeLists.txt and by the fuzz build, so both compile the same list.
set(VELMOR_CORE_SOURCES
  core/fail.cpp
  core/options.cpp
  core/stores.cpp
  core/sort.cpp
  core/edgetab.cpp
  core/io.cpp
  core/geometry.cpp
  core/targets.cpp
  remesh/split.cpp
  remesh/flip.cpp
  remesh/collapse.cpp
  remesh/compaction.cpp
  remesh/remesh.cpp
  fair/cot_op.cpp
  fair/fairing.cpp
  drape/wall_grid.cpp
  drape/drape.cpp
  drape/drape_passes.cpp)
list(TRANSFORM VELMOR_CORE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/src/)
