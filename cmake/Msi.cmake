# The per-machine package OKAVU-<version>-x64.msi, built from deploy/OKAVU.wxs with wixl (Debian package
# wixl). Windows Installer compares only the first three version fields, each within 255.255.65535, so the
# package carries those three as its ProductVersion, and a version whose fourth field is not 0 gets no
# package: Windows Installer would take it for the version it differs from in that field alone.
#
# Included: okavu_msi_version() and okavu_add_msi() for the build. As a script it builds one package:
#   cmake -DWIXL=wixl -DVERSION=1.6.0.0 -DPROGRAM_DIR=DIR -DOUTPUT=FILE.msi -P cmake/Msi.cmake
# with DIR holding OKAVU.exe and OKAVUw.exe; it fails with the reason for a version that cannot have one.

# Never changes: every version of the package finds and replaces the one before by it. Each version's
# ProductCode is derived from it, so that rebuilding one version gives the same product.
set(OKAVU_MSI_UPGRADE_CODE "B3060894-9527-4283-BEB6-8428642C0E21")
set(OKAVU_MSI_SOURCE "${CMAKE_CURRENT_LIST_DIR}/../deploy/OKAVU.wxs")

# The package's ProductVersion for a four-part program version in out_var, or empty with the reason in
# error_var.
function(okavu_msi_version version out_var error_var)
  set(${out_var} "" PARENT_SCOPE)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    set(${error_var} "'${version}' is not a version of four numeric parts" PARENT_SCOPE)
  elseif(NOT CMAKE_MATCH_4 EQUAL 0)
    string(CONCAT reason "Windows Installer compares only the first three parts of '${version}', so its fourth "
                         "part must be 0 for it to upgrade or be upgraded")
    set(${error_var} "${reason}" PARENT_SCOPE)
  elseif(CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
    set(${error_var} "'${version}' is beyond what Windows Installer holds (255.255.65535)" PARENT_SCOPE)
  else()
    math(EXPR major "${CMAKE_MATCH_1}")
    math(EXPR minor "${CMAKE_MATCH_2}")
    math(EXPR build "${CMAKE_MATCH_3}")
    set(${out_var} "${major}.${minor}.${build}" PARENT_SCOPE)
    set(${error_var} "" PARENT_SCOPE)
  endif()
endfunction()

# A target that builds the package output for version from program_dir (a folder, or a generator
# expression naming one) after the targets or files in DEPENDS.
function(okavu_add_msi target version program_dir output)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "" "DEPENDS")
  find_program(OKAVU_WIXL wixl)
  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" "-DWIXL=${OKAVU_WIXL}" "-DVERSION=${version}" "-DPROGRAM_DIR=${program_dir}"
            "-DOUTPUT=${output}" -P "${CMAKE_SOURCE_DIR}/cmake/Msi.cmake"
    DEPENDS "${OKAVU_MSI_SOURCE}" "${CMAKE_SOURCE_DIR}/cmake/Msi.cmake" ${arg_DEPENDS}
    COMMENT "Building ${output}"
    VERBATIM)
  add_custom_target(${target} DEPENDS "${output}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND OUTPUT)
  okavu_msi_version("${VERSION}" product_version reason)
  if(NOT product_version)
    message(FATAL_ERROR "No MSI for version ${VERSION}: ${reason}")
  endif()
  if(NOT WIXL)
    message(FATAL_ERROR "Building the MSI needs wixl (Debian package wixl), which was not found")
  endif()
  string(UUID product_code NAMESPACE "${OKAVU_MSI_UPGRADE_CODE}" NAME "OKAVU Quillmere ${product_version}"
         TYPE SHA1 UPPER)
  # wixl reads File sources relative to its working folder; a failed run must not leave a package behind.
  execute_process(
    COMMAND "${WIXL}" -a x64 -D "Version=${VERSION}" -D "ProductVersion=${product_version}"
            -D "ProductCode=${product_code}" -D "UpgradeCode=${OKAVU_MSI_UPGRADE_CODE}" -D ProgramDir=.
            -o "${OUTPUT}.part" "${OKAVU_MSI_SOURCE}"
    WORKING_DIRECTORY "${PROGRAM_DIR}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE "${OUTPUT}.part")
    message(FATAL_ERROR "wixl failed (${result}) building ${OUTPUT}")
  endif()
  file(RENAME "${OUTPUT}.part" "${OUTPUT}")
  # The deployment tools detect the installed package by it.
  message("${OUTPUT}: ProductVersion ${product_version}, ProductCode {${product_code}}")
endif()
