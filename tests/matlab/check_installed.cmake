# Installs the build tree into a scratch prefix and uses the installed binding from Octave with
# nothing but addpath: the MEX file must find the installed library through its run path.
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} OUTPUT_QUIET RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
set(dir ${prefix}/share/veltn/matlab)
foreach(f veltn_mex.mex veltn_mex.c +veltn/Network.m +veltn/problem.m)
  if(NOT EXISTS ${dir}/${f})
    message(FATAL_ERROR "not installed: ${dir}/${f}")
  endif()
endforeach()
if(EXISTS ${dir}/CMakeLists.txt)
  message(FATAL_ERROR "CMakeLists.txt was installed with the M-files")
endif()
unset(ENV{LD_LIBRARY_PATH})
execute_process(COMMAND ${OCTAVE} --no-gui --norc --no-history --quiet --eval
                "addpath('${dir}'); net = veltn.Network('2 1 2 1 32 2 3 atan sum_sq'); \
                 [J, g] = net.gradient(0.1 * (1:13)', [1 2; 3 4; 5 6], [1; 2; 3]); \
                 assert(numel(g) == 13 && J > 0); printf('%s\\n', which('veltn_mex'));"
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc OR NOT out MATCHES "${dir}/veltn_mex.mex")
  message(FATAL_ERROR "the installed binding failed (${rc}): ${out} ${err}")
endif()
