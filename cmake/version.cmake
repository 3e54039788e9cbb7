# The version is the project's (CMakeLists.txt): the tools print it with
# --version, and on Windows every DLL and program carries it in a version
# resource that Explorer shows under Properties > Details.

foreach(tool zavctl zavsim)
  if(TARGET ${tool})
    target_compile_definitions(${tool} PRIVATE ZAV_VERSION="${PROJECT_VERSION}")
  endif()
endforeach()

if(WIN32)
  # zav_version_resource(TARGET FILE_NAME DESCRIPTION): compiles a VERSIONINFO
  # resource into TARGET (a DLL when FILE_NAME ends in .dll).
  function(zav_version_resource target file_name description)
    if(file_name MATCHES "\\.dll$")
      set(ZAV_RC_FILE_TYPE VFT_DLL)
    else()
      set(ZAV_RC_FILE_TYPE VFT_APP)
    endif()
    set(ZAV_RC_FILE_NAME ${file_name})
    set(ZAV_RC_DESCRIPTION ${description})
    get_filename_component(ZAV_RC_INTERNAL_NAME ${file_name} NAME_WE)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${CMAKE_BINARY_DIR}/${target}_version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/${target}_version.rc)
  endfunction()

  zav_version_resource(${ZAV_DLL} ${ZAV_DLL}.dll "zavlib: serial-bus servo library")
  if(TARGET zavctl)
    zav_version_resource(zavctl zavctl.exe "zavctl: serial-bus servo command-line tool")
  endif()
endif()
