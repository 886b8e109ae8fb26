<?php
// Database settings shared by the connector daemon and the broker module.
// localhost: the client library connects through the server's Unix socket (cheaper per
// statement than TCP); $DBPORT is used only with a host name or address (empty: 3306).
$DBHOST = 'localhost';
$DBUSER = 'vantor';
$DBPASS = 'change-me';
$DBPORT = '';
?>
