<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES">
<context>
    <name>main</name>
    <message>
        <source>NVX7300 disconnected too soon</source>
        <translation>NVX7300 desconectado demasiado pronto</translation>
    </message>
    <message>
        <source>NVX7300 is currently running version </source>
        <translation>NVX7300 está ejecutando actualmente la versión </translation>
    </message>
    <message>
        <source>NVX7300 not connected</source>
        <translation>NVX7300 no conectado</translation>
    </message>
    <message>
        <source>NVX7300 software is invalid</source>
        <translation>El software NVX7300 no es válido</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again</source>
        <translation>El NVX7300 debe actualizarse de nuevo</translation>
    </message>
    <message>
        <source>Please switch on and connect your NVX7300</source>
        <translation>Encienda y conecte su NVX7300</translation>
    </message>
    <message>
        <source>Reading NVX7300 version</source>
        <translation>Versión de software de lectura</translation>
    </message>
    <message>
        <source>Update Complete</source>
        <translation>Actualizacion completa</translation>
    </message>
    <message>
        <source>Update Failed</source>
        <translation>Actualización fallida</translation>
    </message>
    <message>
        <source>Update to</source>
        <translation>Actualización a la versión</translation>
    </message>
    <message>
        <source>Updating. Do not disconnect or switch off your NVX7300</source>
        <translation>Actualizando No desconecte ni apague su NVX7300</translation>
    </message>
    <message>
        <source>Update refused: the firmware file is damaged</source>
        <translation>Actualización rechazada: el archivo de firmware está dañado</translation>
    </message>
    <message>
        <source>Update refused: no backup of the NVX7300 can be made</source>
        <translation>Actualización rechazada: no se puede hacer una copia de seguridad del NVX7300</translation>
    </message>
    <message>
        <source>Update refused: another NVX7300 is connected</source>
        <translation>Actualización rechazada: hay otro NVX7300 conectado</translation>
    </message>
    <message>
        <source>Update refused: the NVX7300 could not be read again</source>
        <translation>Actualización rechazada: no se pudo volver a leer el NVX7300</translation>
    </message>
    <message>
        <source>Update refused: this NVX7300 needs a patch file that is not installed</source>
        <translation>Actualización rechazada: este NVX7300 necesita un archivo de parche que no está instalado</translation>
    </message>
    <message>
        <source>Update refused</source>
        <translation>Actualización rechazada</translation>
    </message>
    <message>
        <source>Update Complete. Switch your NVX7300 off and on again</source>
        <translation>Actualización completa. Apague y vuelva a encender su NVX7300</translation>
    </message>
    <message>
        <source>The backup of this NVX7300 is damaged; call service</source>
        <translation>La copia de seguridad de este NVX7300 está dañada; llame al servicio técnico</translation>
    </message>
    <message>
        <source>Erase Complete</source>
        <translation>Borrado completo</translation>
    </message>
    <message>
        <source>NVX7300 is in use by another program</source>
        <translation>NVX7300 está siendo usado por otro programa</translation>
    </message>
    <message>
        <source>Not permitted to use the NVX7300 port</source>
        <translation>Sin permiso para usar el puerto del NVX7300</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again; its latest backup is damaged, an older one is used</source>
        <translation>NVX7300 debe actualizarse de nuevo; su última copia de seguridad está dañada, se usa una anterior</translation>
    </message>
    <message>
        <source>The toolkit cannot use its own files; see the log file</source>
        <translation>El toolkit no puede usar sus propios archivos; consulte el archivo de registro</translation>
    </message>
    <message>
        <source>NVX7300 is up to date</source>
        <translation>NVX7300 está actualizado</translation>
    </message>
    <message>
        <source>Could not check for new versions</source>
        <translation>No se pudo comprobar si hay versiones nuevas</translation>
    </message>
    <message>
        <source>Up to date</source>
        <translation>Actualizado</translation>
    </message>
    <message>
        <source>Choose another version</source>
        <translation>Elegir otra versión</translation>
    </message>
    <message>
        <source>%1%</source>
        <translation>%1 %</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Progreso de la actualización</translation>
    </message>
    <message>
        <source>Busy</source>
        <translation>Ocupado</translation>
    </message>
    <message>
        <source>Web site</source>
        <translation>Sitio web</translation>
    </message>
    <message>
        <source>Facebook page</source>
        <translation>Página de Facebook</translation>
    </message>
    <message>
        <source>Instagram page</source>
        <translation>Página de Instagram</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Idioma</translation>
    </message>
    <message>
        <source>Instrument</source>
        <translation>Instrumento</translation>
    </message>
    <message>
        <source>Firmware version</source>
        <translation>Versión del firmware</translation>
    </message>
    <message>
        <source>Erase the NVX7300? Its calibration is backed up and restored by the next update.</source>
        <translation>¿Borrar el NVX7300? Su calibración se guarda y la próxima actualización la restaura.</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Sí</translation>
    </message>
    <message>
        <source>No</source>
        <translation>No</translation>
    </message>
    <message>
        <source>The update goes on until it ends: stopping it now could leave the NVX7300 erased. The window closes when the update ends.</source>
        <translation>La actualización sigue hasta terminar: detenerla ahora podría dejar el NVX7300 borrado. La ventana se cierra cuando termine la actualización.</translation>
    </message>
    <message>
        <source>Close when it ends</source>
        <translation>Cerrar al terminar</translation>
    </message>
    <message>
        <source>Keep open</source>
        <translation>Dejar abierta</translation>
    </message>
</context>
</TS>
