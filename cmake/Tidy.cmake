# clang-tidy as build steps: target `tidy` checks every source of src/ and tools/ (and,
# through the header filter, the headers they include) once per compiled unit: per unity
# batch when CMAKE_UNITY_BUILD is on, else per file. A unit is checked again only when its
# object is rebuilt or .clang-tidy changes, so a second run after a small change is quick.
option(SELVARN_TIDY "Add the target tidy (clang-tidy over src/ and tools/)" OFF)

function(selvarn_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    selvarn_collect_targets(${sub} sub_targets)
    list(APPEND targets ${sub_targets})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Adds one check per compiled unit of `target`; the stamps it makes are appended to the
# list named by `out`.
function(selvarn_tidy_target target out)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
    return()
  endif()
  get_target_property(src_dir ${target} SOURCE_DIR)
  get_target_property(bin_dir ${target} BINARY_DIR)
  get_target_property(sources ${target} SOURCES)
  set(ours)
  set(others 0)
  foreach(src ${sources})
    if(NOT src MATCHES "\\.cpp$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${src_dir} NORMALIZE OUTPUT_VARIABLE abs)
    if(abs MATCHES "^${SELVARN_TIDY_ROOT_RE}/(src|tools)/")
      list(APPEND ours ${abs})
    else()
      math(EXPR others "${others} + 1")
    endif()
  endforeach()
  if(NOT ours)
    return()
  endif()
  set(obj_dir ${bin_dir}/CMakeFiles/${target}.dir)
  set(units)
  get_target_property(unity ${target} UNITY_BUILD)
  if(unity)
    # The batches are cut here rather than by CMake, so their names are known; they
    # are named UnifiedSource..., the name by which the static analyzer knows a unity
    # batch and goes into the files it includes (it leaves any other included file alone).
    if(others GREATER 0)
      message(FATAL_ERROR "${target} mixes sources of src/ or tools/ with others")
    endif()
    get_target_property(size ${target} UNITY_BUILD_BATCH_SIZE)
    list(LENGTH ours count)
    if(NOT size OR size EQUAL 0)
      set(size ${count})
    endif()
    string(MAKE_C_IDENTIFIER "${target}" tid)
    set(i 0)
    foreach(abs ${ours})
      math(EXPR n "${i} / ${size}")
      set(group UnifiedSource_${tid}_${n})
      set_source_files_properties(${abs} TARGET_DIRECTORY ${target} PROPERTIES UNITY_GROUP ${group})
      list(APPEND units ${obj_dir}/Unity/unity_${group}_cxx.cxx)
      math(EXPR i "${i} + 1")
    endforeach()
    list(REMOVE_DUPLICATES units)
    set_target_properties(${target} PROPERTIES UNITY_BUILD_MODE GROUP
      # The batch's own #include of a .cpp is the point of a unity build, not a mistake.
      UNITY_BUILD_CODE_BEFORE_INCLUDE "// NOLINTNEXTLINE(bugprone-suspicious-include)")
  else()
    foreach(abs ${ours})
      cmake_path(RELATIVE_PATH abs BASE_DIRECTORY ${src_dir} OUTPUT_VARIABLE rel)
      if(rel MATCHES "^\\.\\.")
        message(FATAL_ERROR "${target}: ${abs} lies outside the target's folder")
      endif()
      list(APPEND units ${abs})
    endforeach()
  endif()
  set(made)
  foreach(unit ${units})
    if(unity)
      cmake_path(GET unit FILENAME name)
      set(object ${obj_dir}/Unity/${name}.o)
    else()
      cmake_path(RELATIVE_PATH unit BASE_DIRECTORY ${src_dir} OUTPUT_VARIABLE rel)
      set(object ${obj_dir}/${rel}.o)
      set(name ${rel})
    endif()
    string(MAKE_C_IDENTIFIER "${target}_${name}" id)
    set(stamp ${CMAKE_BINARY_DIR}/tidy/${id}.stamp)
    add_custom_command(OUTPUT ${stamp}
      COMMAND ${SELVARN_CLANG_TIDY} --quiet -p ${CMAKE_BINARY_DIR}
              --config-file=${SELVARN_TIDY_ROOT}/.clang-tidy  # not looked up beside a batch
              # The static analyzer's shallow mode inlines less: it still follows each
              # function's paths, at a third of the time the deep mode takes on our batches.
              --extra-arg=-Xclang --extra-arg=-analyzer-config
              --extra-arg=-Xclang --extra-arg=mode=shallow
              "--header-filter=${SELVARN_TIDY_HEADERS}" ${unit}
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${object} ${SELVARN_TIDY_ROOT}/.clang-tidy
      COMMENT "clang-tidy ${target} ${name}"
      VERBATIM)
    list(APPEND made ${stamp})
  endforeach()
  set(${out} ${${out}} ${made} PARENT_SCOPE)
endfunction()

function(selvarn_tidy)
  if(NOT SELVARN_TIDY)
    return()
  endif()
  find_program(SELVARN_CLANG_TIDY NAMES clang-tidy REQUIRED)
  # Paths become regular expressions: characters such as + or . in a folder name match
  # only themselves.
  string(REGEX REPLACE "([][+.*()^$?|\\\\{}])" "\\\\\\1" root "${PROJECT_SOURCE_DIR}")
  set(SELVARN_TIDY_ROOT ${PROJECT_SOURCE_DIR})
  set(SELVARN_TIDY_ROOT_RE ${root})
  set(SELVARN_TIDY_HEADERS "^${root}/(src|tools|include)/")

  selvarn_collect_targets(${PROJECT_SOURCE_DIR} targets)
  set(stamps)
  foreach(target ${targets})
    selvarn_tidy_target(${target} stamps)
  endforeach()
  add_custom_target(tidy DEPENDS ${stamps})
endfunction()
