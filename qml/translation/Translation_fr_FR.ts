<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>main</name>
    <message>
        <source>NVX7300 disconnected too soon</source>
        <translation>NVX7300 déconecté trop tôt</translation>
    </message>
    <message>
        <source>NVX7300 is currently running version </source>
        <translation>NVX7300 exécute actuellement la version </translation>
    </message>
    <message>
        <source>NVX7300 not connected</source>
        <translation>L'NVX7300 n'est pas connecté</translation>
    </message>
    <message>
        <source>NVX7300 software is invalid</source>
        <translation>Le logiciel du NVX7300 n'est pas valide</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again</source>
        <translation>Le NVX7300 doit être mis à jour à nouveau</translation>
    </message>
    <message>
        <source>Please switch on and connect your NVX7300</source>
        <translation>Veuillez allumer et connecter votre NVX7300</translation>
    </message>
    <message>
        <source>Reading NVX7300 version</source>
        <translation>Lecture de la version NVX7300</translation>
    </message>
    <message>
        <source>Update Complete</source>
        <translation>La mise à jour est terminée</translation>
    </message>
    <message>
        <source>Update Failed</source>
        <translation>Mise à jour a échoué</translation>
    </message>
    <message>
        <source>Update to</source>
        <translation>Mise à jour vers</translation>
    </message>
    <message>
        <source>Updating. Do not disconnect or switch off your NVX7300</source>
        <translation>Mise à jour. Ne débranchez pas et n'éteignez pas votre NVX7300</translation>
    </message>
</context>
</TS>
