# Writes the SCADA integrator's zip: the driver at the top with the notes,
# kelhost with its own stand-in host library in a folder of its own, and
# SHA256SUMS over every file (`sha256sum -c SHA256SUMS` in the unpacked folder).
#   cmake -DZIP=... -DSTAGE=... -DDRIVER=... -DKELHOST=... -DHOSTLIB=... -DREADME=... [-DSTRIP=...]
#         -P windows-zip.cmake
get_filename_component(top ${ZIP} NAME_WLE)
set(root ${STAGE}/${top})
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${root}/kelhost)
file(COPY ${DRIVER} DESTINATION ${root})
file(COPY ${KELHOST} ${HOSTLIB} DESTINATION ${root}/kelhost)
# Debugging information stays in the build folder.
if(STRIP)
  foreach(binary DEREVU1.DLL kelhost/kelhost.exe kelhost/KALVRO.dll)
    execute_process(COMMAND ${STRIP} --strip-debug ${root}/${binary} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "package-windows: ${binary} could not be stripped")
    endif()
  endforeach()
endif()
# The notes in Windows line endings, for Notepad.
file(READ ${README} notes)
string(REPLACE "\n" "\r\n" notes "${notes}")
file(WRITE ${root}/README.txt "${notes}")

set(sums "")
foreach(file DEREVU1.DLL README.txt kelhost/kelhost.exe kelhost/KALVRO.dll)
  if(NOT EXISTS ${root}/${file})
    message(FATAL_ERROR "package-windows: ${file} is missing")
  endif()
  file(SHA256 ${root}/${file} sum)
  string(APPEND sums "${sum}  ${file}\n")
endforeach()
file(WRITE ${root}/SHA256SUMS "${sums}")

file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${top}
                WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "package-windows: the zip could not be written")
endif()
