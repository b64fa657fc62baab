# SPDX-License-Identifier: LGPL-2.1-or-later
# vorn_install_jar(TARGET COMPONENT): installs the jar of an add_jar TARGET as Debian's Java policy
# wants it in share/java, NAME-VERSION.jar with NAME.jar linking to it, where NAME is the jar's
# name in the build tree (which keeps the plain name, for the launchers and tests).
function(vorn_install_jar target component)
  get_target_property(jar ${target} JAR_FILE)
  get_filename_component(name ${jar} NAME_WE)
  set(versioned ${name}-${PROJECT_VERSION}.jar)
  install(FILES ${jar} DESTINATION ${VORN_INSTALL_JAVADIR} RENAME ${versioned} COMPONENT ${component})
  set(link ${CMAKE_CURRENT_BINARY_DIR}/debian-jar-links/${name}.jar)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/debian-jar-links)
  file(REMOVE ${link})
  file(CREATE_LINK ${versioned} ${link} SYMBOLIC)
  install(FILES ${link} DESTINATION ${VORN_INSTALL_JAVADIR} COMPONENT ${component})
endfunction()
