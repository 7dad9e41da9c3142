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
    <message>
        <source>Update refused: the firmware file is damaged</source>
        <translation>Mise à jour refusée : le fichier du micrologiciel est endommagé</translation>
    </message>
    <message>
        <source>Update refused: no backup of the NVX7300 can be made</source>
        <translation>Mise à jour refusée : impossible de sauvegarder le NVX7300</translation>
    </message>
    <message>
        <source>Update refused: another NVX7300 is connected</source>
        <translation>Mise à jour refusée : un autre NVX7300 est connecté</translation>
    </message>
    <message>
        <source>Update refused: the NVX7300 could not be read again</source>
        <translation>Mise à jour refusée : le NVX7300 n'a pas pu être relu</translation>
    </message>
    <message>
        <source>Update refused: this NVX7300 needs a patch file that is not installed</source>
        <translation>Mise à jour refusée : ce NVX7300 a besoin d'un fichier de correctif qui n'est pas installé</translation>
    </message>
    <message>
        <source>Update refused</source>
        <translation>Mise à jour refusée</translation>
    </message>
    <message>
        <source>Update Complete. Switch your NVX7300 off and on again</source>
        <translation>La mise à jour est terminée. Éteignez puis rallumez votre NVX7300</translation>
    </message>
    <message>
        <source>The backup of this NVX7300 is damaged; call service</source>
        <translation>La sauvegarde de ce NVX7300 est endommagée ; appelez le service après-vente</translation>
    </message>
    <message>
        <source>Erase Complete</source>
        <translation>Effacement terminé</translation>
    </message>
    <message>
        <source>NVX7300 is in use by another program</source>
        <translation>Le NVX7300 est utilisé par un autre programme</translation>
    </message>
    <message>
        <source>Not permitted to use the NVX7300 port</source>
        <translation>Accès au port du NVX7300 non autorisé</translation>
    </message>
    <message>
        <source>NVX7300 must be updated again; its latest backup is damaged, an older one is used</source>
        <translation>Le NVX7300 doit être mis à jour à nouveau ; sa dernière sauvegarde est endommagée, une plus ancienne est utilisée</translation>
    </message>
    <message>
        <source>The toolkit cannot use its own files; see the log file</source>
        <translation>Le toolkit ne peut pas utiliser ses propres fichiers ; voir le fichier journal</translation>
    </message>
    <message>
        <source>NVX7300 is up to date</source>
        <translation>Le NVX7300 est à jour</translation>
    </message>
    <message>
        <source>Could not check for new versions</source>
        <translation>Impossible de vérifier s'il existe de nouvelles versions</translation>
    </message>
    <message>
        <source>Up to date</source>
        <translation>À jour</translation>
    </message>
    <message>
        <source>Choose another version</source>
        <translation>Choisir une autre version</translation>
    </message>
    <message>
        <source>%1%</source>
        <translation>%1 %</translation>
    </message>
    <message>
        <source>Update progress</source>
        <translation>Progression de la mise à jour</translation>
    </message>
    <message>
        <source>Busy</source>
        <translation>Occupé</translation>
    </message>
    <message>
        <source>Web site</source>
        <translation>Site web</translation>
    </message>
    <message>
        <source>Facebook page</source>
        <translation>Page Facebook</translation>
    </message>
    <message>
        <source>Instagram page</source>
        <translation>Page Instagram</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Langue</translation>
    </message>
    <message>
        <source>Instrument</source>
        <translation>Instrument</translation>
    </message>
    <message>
        <source>Firmware version</source>
        <translation>Version du micrologiciel</translation>
    </message>
    <message>
        <source>Erase the NVX7300? Its calibration is backed up and restored by the next update.</source>
        <translation>Effacer le NVX7300 ? Son étalonnage est sauvegardé et restauré par la prochaine mise à jour.</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Oui</translation>
    </message>
    <message>
        <source>No</source>
        <translation>Non</translation>
    </message>
    <message>
        <source>The update goes on until it ends: stopping it now could leave the NVX7300 erased. The window closes when the update ends.</source>
        <translation>La mise à jour continue jusqu'à la fin : l'arrêter maintenant pourrait laisser le NVX7300 effacé. La fenêtre se ferme à la fin de la mise à jour.</translation>
    </message>
    <message>
        <source>Close when it ends</source>
        <translation>Fermer à la fin</translation>
    </message>
    <message>
        <source>Keep open</source>
        <translation>Laisser ouverte</translation>
    </message>
</context>
</TS>
