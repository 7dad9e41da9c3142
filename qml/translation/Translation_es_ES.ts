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
</context>
</TS>
