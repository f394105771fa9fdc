# The firmware bundle built into kestrelink_core. By default the build generates the synthetic
# bundle; KESTRELINK_BUNDLE_DIR names a maker-supplied directory (its manifest.txt lists every
# file) instead. Either way bundle_tool checks every image before embedding it, and a bad or
# truncated one fails the build with a message naming the file.
set(KESTRELINK_BUNDLE_DIR "" CACHE PATH "Maker-supplied firmware bundle directory; empty: synthetic bundle")

# bundle_tool runs on the build machine: a cross build makes it with the build machine's own
# compiler, as a project of its own.
if(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  set(host_tools_dir ${CMAKE_BINARY_DIR}/host-tools)
  ExternalProject_Add(host_tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools
    BINARY_DIR ${host_tools_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DKESTRELINK_WERROR=${KESTRELINK_WERROR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${host_tools_dir}/bundle_tool)
  set(bundle_tool ${host_tools_dir}/bundle_tool)
  set(bundle_tool_target host_tools)
else()
  add_subdirectory(tools)
  set(bundle_tool bundle_tool)
  set(bundle_tool_target bundle_tool)
endif()

set(bundle_embed_dir ${CMAKE_BINARY_DIR}/bundle/embed)
set(bundle_outputs ${bundle_embed_dir}/bundle.S ${bundle_embed_dir}/bundle_index.cpp)
if(KESTRELINK_BUNDLE_DIR)
  get_filename_component(bundle_dir ${KESTRELINK_BUNDLE_DIR} ABSOLUTE)
  if(NOT EXISTS ${bundle_dir}/manifest.txt)
    message(FATAL_ERROR "KESTRELINK_BUNDLE_DIR: ${bundle_dir}/manifest.txt not found")
  endif()
  file(GLOB bundle_inputs CONFIGURE_DEPENDS ${bundle_dir}/*)
  add_custom_command(OUTPUT ${bundle_outputs}
    COMMAND ${bundle_tool} embed ${bundle_dir} ${bundle_embed_dir}
    DEPENDS ${bundle_tool_target} ${bundle_tool} ${bundle_inputs}
    COMMENT "Checking and embedding the firmware bundle of ${bundle_dir}"
    VERBATIM)
else()
  set(bundle_dir ${CMAKE_BINARY_DIR}/bundle/synthetic)
  set(bundle_inputs ${bundle_dir}/manifest.txt)
  add_custom_command(OUTPUT ${bundle_outputs} ${bundle_inputs}
    COMMAND ${bundle_tool} generate ${bundle_dir}
    COMMAND ${bundle_tool} embed ${bundle_dir} ${bundle_embed_dir} --exact
    DEPENDS ${bundle_tool_target} ${bundle_tool}
    COMMENT "Generating and embedding the synthetic firmware bundle"
    VERBATIM)
endif()

target_sources(kestrelink_core PRIVATE ${bundle_outputs})
# .incbin reads the bundle files; reassemble whenever they change.
set_source_files_properties(${bundle_embed_dir}/bundle.S PROPERTIES OBJECT_DEPENDS "${bundle_inputs}")
