# The platform layer's sources, layer by layer, each layer using only those
# listed before it; the main build and the fuzz build both take this list.
set(OMBRANE_PLATFORM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/src/runtime/async.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/runtime/errors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/runtime/text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/runtime/system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/io/streams.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/io/storage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/io/zip_package.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/3mf/xml_pass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/3mf/relationships.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/3mf/model_pass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/3mf/model_pass_runs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/3mf/package_read.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/3mf/model_write.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/mesh/mesh_adjacency.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/mesh/mesh_verify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/mesh/mesh_hole_fill.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/mesh/mesh_repair.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/printing3d/printing3d.cpp)
set(OMBRANE_PLATFORM_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/include)
# Internal headers, named from here by layer ("io/zip_package.h"): for the
# layer itself, its tests and benchmarks.
set(OMBRANE_PLATFORM_INTERNAL ${CMAKE_CURRENT_LIST_DIR}/src)
