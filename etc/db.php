<?php
// Database settings shared by the connector daemon and the broker module.
$DBHOST = '127.0.0.1';
$DBUSER = 'vantor';
$DBPASS = 'change-me';
$DBPORT = '3306';
?>
