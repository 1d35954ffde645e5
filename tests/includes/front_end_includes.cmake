# Compiles small files with one front end's include path (FLAGS, written at
# generate time) in WORK_DIR:
# - every header of the object layer with the engine's C interface, in C++;
# - each header of the engine's C interface alone, in C;
# - the engine's internal headers, which must not be found.
cmake_minimum_required(VERSION 3.18)
include(${FLAGS})
string(REPLACE "," ";" public_engine_headers "${PUBLIC_ENGINE_HEADERS}")
set(include_flags "")
foreach(dir ${include_dirs})
  list(APPEND include_flags -I${dir})
endforeach()
set(probe_dir ${WORK_DIR}/probe)
file(REMOVE_RECURSE ${probe_dir})
file(MAKE_DIRECTORY ${probe_dir})
set(failures "")

# Compiles `text` as file `name` with `compiler` and `std`; the result and the
# compiler's words go to `<name>_result` and `<name>_output`.
function(compile_probe name compiler std text)
  file(WRITE ${probe_dir}/${name} "${text}")
  execute_process(COMMAND ${compiler} -std=${std} -fPIC -fsyntax-only ${include_flags} ${probe_dir}/${name}
    WORKING_DIRECTORY ${probe_dir}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${name}_result "${result}" PARENT_SCOPE)
  set(${name}_output "${output}" PARENT_SCOPE)
endfunction()

# The object layer's headers and the engine's C interface.
file(GLOB_RECURSE object_layer_headers RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/recovery/*.h)
list(SORT object_layer_headers)
if(NOT object_layer_headers)
  message(FATAL_ERROR "no header found under ${SOURCE_DIR}/recovery")
endif()
set(text "")
foreach(header ${object_layer_headers})
  string(APPEND text "#include \"${header}\"\n")
endforeach()
foreach(header ${public_engine_headers})
  string(APPEND text "#include \"engine/${header}\"\n")
endforeach()
compile_probe(public.cpp ${CXX} c++17 "${text}")
if(NOT public.cpp_result EQUAL 0)
  list(APPEND failures "the public headers do not compile:\n${public.cpp_output}")
endif()

# Each header of the C interface stands alone in C.
foreach(header ${public_engine_headers})
  string(MAKE_C_IDENTIFIER ${header} id)
  compile_probe(${id}.c ${CC} c99 "#include \"engine/${header}\"\nint probe_${id};\n")
  if(NOT ${id}.c_result EQUAL 0)
    list(APPEND failures "engine/${header} does not compile in C:\n${${id}.c_output}")
  endif()
endforeach()

# No internal header of the engine is reachable, as "engine/<name>" or by
# its path inside engine/.  One file asks for all of them; the C interface
# must be found the same way, or the question proves nothing.
file(GLOB_RECURSE engine_headers RELATIVE ${SOURCE_DIR}/engine ${SOURCE_DIR}/engine/*.h)
list(SORT engine_headers)
set(internal_headers ${engine_headers})
list(REMOVE_ITEM internal_headers ${public_engine_headers})
list(LENGTH internal_headers internal_count)
if(internal_count EQUAL 0)
  message(FATAL_ERROR "no internal header found under ${SOURCE_DIR}/engine")
endif()
set(text "")
foreach(header ${public_engine_headers})
  string(APPEND text "#if !__has_include(\"engine/${header}\")\n#error not found: engine/${header}\n#endif\n")
endforeach()
foreach(header ${internal_headers})
  foreach(written engine/${header} ${header})
    string(APPEND text "#if __has_include(\"${written}\")\n#error reachable: ${written}\n#endif\n")
  endforeach()
endforeach()
compile_probe(internal.cpp ${CXX} c++17 "${text}")
if(NOT internal.cpp_result EQUAL 0)
  string(REGEX MATCHALL "(reachable|not found): [^\n\t ]+" lines "${internal.cpp_output}")
  if(lines)
    list(REMOVE_DUPLICATES lines)
    list(APPEND failures ${lines})
  else()
    list(APPEND failures "the check of the internal headers does not compile:\n${internal.cpp_output}")
  endif()
endif()

if(failures)
  string(JOIN "\n" text ${failures})
  message(FATAL_ERROR "${text}")
endif()
list(LENGTH object_layer_headers object_layer_count)
message(STATUS "${object_layer_count} object layer headers and the engine's C interface compile; "
  "${internal_count} internal engine headers are out of reach")
