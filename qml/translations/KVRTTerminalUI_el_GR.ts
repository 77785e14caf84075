<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="el_GR" sourcelanguage="en">
<context>
    <name>CustomPopup</name>
    <message>
        <source>No</source>
        <translation>Όχι</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Ναι</translation>
    </message>
</context>
<context>
    <name>EntryGate</name>
    <message>
        <source>Have a nice trip</source>
        <translation>Καλό ταξίδι</translation>
    </message>
    <message>
        <source>Please collect your card</source>
        <translation>Παρακαλώ παραλάβετε την κάρτα σας</translation>
    </message>
    <message>
        <source>Please insert your card</source>
        <translation>Παρακαλώ εισάγετε την κάρτα σας</translation>
    </message>
    <message>
        <source>Press button for entry</source>
        <translation>Πατήστε το κουμπί για είσοδο</translation>
    </message>
    <message>
        <source>Successful transaction 
 Please wait until the road is free</source>
        <translation>Επιτυχής ολοκλήρωση διαδικασίας 
 Παρακαλώ περιμένετε</translation>
    </message>
</context>
<context>
    <name>ExitGate</name>
    <message>
        <source>Front License Plate</source>
        <translation>Μπροστινή Πινακίδα Οχήματος</translation>
    </message>
    <message>
        <source>Rear License Plate</source>
        <translation>Πίσω Πινακίδα Οχήματος</translation>
    </message>
</context>
<context>
    <name>GUIManager</name>
    <message>
        <source>Barrier Error 
 Please wait for assistance</source>
        <translation>Πρόβλημα στην μπάρα διέλευσης 
 Παρακαλώ περιμένετε για βοήθεια</translation>
    </message>
    <message>
        <source>Camera Error 
 Please wait for assistance</source>
        <translation>Πρόβλημα με την κάμερα 
 Παρακαλώ περιμένετε για βοήθεια</translation>
    </message>
    <message>
        <source>Exiting</source>
        <translation>Έξοδος</translation>
    </message>
    <message>
        <source>Initializing</source>
        <translation>Αρχικοποίηση</translation>
    </message>
    <message>
        <source>Invalid Card 
 Please insert the correct card</source>
        <translation>Άκυρη κάρτα 
 Παρακαλώ εισάγετε έγκυρη κάρτα</translation>
    </message>
    <message>
        <source>Please Wait</source>
        <translation>Παρακαλώ Περιμένετε</translation>
    </message>
    <message>
        <source>Please scan your documents 
 Unable to issue a card due to an error in the previous step</source>
        <translation>Παρακαλώ σαρώστε τα έγγραφά σας 
 Δεν ήταν δυνατή η εκτύπωση της κάρτας λόγω σφάλματος στο προηγούμενο βήμα</translation>
    </message>
    <message>
        <source>Please try again</source>
        <translation>Παρακαλώ δοκιμάστε πάλι</translation>
    </message>
    <message>
        <source>Rebooting</source>
        <translation>Επανεκκίνηση</translation>
    </message>
    <message>
        <source>Shutting down</source>
        <translation>Τερματισμός Λειτουργίας</translation>
    </message>
    <message>
        <source>The device is Out Of Order</source>
        <translation>Η συσκευή είναι προσωρινά εκτός λειτουργίας</translation>
    </message>
    <message>
        <source>The device is currently Out Of Service 
 Please wait for assistance</source>
        <translation>Η συσκευή είναι προσωρινά εκτός υπηρεσίας 
 Παρακαλώ περιμένετε για βοήθεια</translation>
    </message>
    <message>
        <source>There are no cards available 
 Please wait for assistance</source>
        <translation>Δεν υπάρχουν διαθέσιμες κάρτες 
 Παρακαλώ περιμένετε για βοήθεια</translation>
    </message>
    <message>
        <source>Unregistered device</source>
        <translation>Μη καταχωρημένη συσκευή</translation>
    </message>
    <message>
        <source>Card collected</source>
        <translation>Η κάρτα παραλήφθηκε</translation>
    </message>
    <message>
        <source>Card could not be issued</source>
        <translation>Δεν ήταν δυνατή η έκδοση της κάρτας</translation>
    </message>
    <message>
        <source>Connected</source>
        <translation>Συνδέθηκε</translation>
    </message>
    <message>
        <source>Connecting</source>
        <translation>Σύνδεση</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Αποσυνδέθηκε</translation>
    </message>
    <message>
        <source>Issuing card</source>
        <translation>Έκδοση κάρτας</translation>
    </message>
    <message>
        <source>Preparing next card</source>
        <translation>Προετοιμασία επόμενης κάρτας</translation>
    </message>
    <message>
        <source>Ready to issue card</source>
        <translation>Έτοιμο για έκδοση κάρτας</translation>
    </message>
</context>
<context>
    <name>Invalid</name>
    <message>
        <source>Validation failed</source>
        <translation>Η επικύρωση απέτυχε</translation>
    </message>
</context>
<context>
    <name>Login</name>
    <message>
        <source>LOGIN</source>
        <translation>ΕΙΣΟΔΟΣ</translation>
    </message>
    <message>
        <source>Maintenance</source>
        <translation>Συντήρηση</translation>
    </message>
    <message>
        <source>Pin</source>
        <translation>Κωδικός</translation>
    </message>
    <message>
        <source>Too many wrong PINs. Try again in %1 s</source>
        <translation>Πολλοί λανθασμένοι κωδικοί. Δοκιμάστε πάλι σε %1 δευτ.</translation>
    </message>
    <message>
        <source>Wrong PIN, please try again</source>
        <translation>Λανθασμένος κωδικός, δοκιμάστε πάλι</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>Please Wait</source>
        <translation>Παρακαλώ Περιμένετε</translation>
    </message>
</context>
<context>
    <name>Region</name>
    <message>
        <source>The time zone could not be set to %1.</source>
        <translation>Δεν ήταν δυνατό να οριστεί η ζώνη ώρας %1.</translation>
    </message>
</context>
<context>
    <name>Transaction</name>
    <message>
        <source>Internal Error</source>
        <translation>Εσωτερικό Σφάλμα</translation>
    </message>
    <message>
        <source>Please try again</source>
        <translation>Προσπαθήστε πάλι</translation>
    </message>
    <message>
        <source>The card does not belong to this operator</source>
        <translation>Η κάρτα δεν ανήκει σε αυτό τον φορέα</translation>
    </message>
    <message>
        <source>The card does not have enough trips</source>
        <translation>Ανεπαρκές υπόλοιπο διαδρομών</translation>
    </message>
    <message>
        <source>The card does not have sufficient balance</source>
        <translation>Ανεπαρκές υπόλοιπο</translation>
    </message>
    <message>
        <source>The card has already been validated</source>
        <translation>Η κάρτα έχει ήδη επικυρωθεί</translation>
    </message>
    <message>
        <source>The card has expired</source>
        <translation>Η κάρτα έχει λήξει</translation>
    </message>
    <message>
        <source>The card is blocked</source>
        <translation>Η κάρτα είναι στην λίστα μη αποδεκτών καρτών</translation>
    </message>
    <message>
        <source>The card is invalid</source>
        <translation>Άκυρη κάρτα</translation>
    </message>
    <message>
        <source>The card is not active</source>
        <translation>Η κάρτα δεν έχει ενεργοποιηθεί</translation>
    </message>
    <message>
        <source>The card is not allowed in this route</source>
        <translation>Δεν επιτρέπεται σε αυτή την διαδρομή</translation>
    </message>
    <message>
        <source>The product is blocked</source>
        <translation>Το προιόν δεν μπορεί να χρησιμοποιηθεί</translation>
    </message>
    <message>
        <source>The product is not yet active</source>
        <translation>Το προιόν δεν είναι ενεργό</translation>
    </message>
    <message>
        <source>The ticket does not belong to this operator</source>
        <translation>Το εισιτήριο δεν ανήκει σε αυτόν τον φορέα</translation>
    </message>
    <message>
        <source>The ticket has already been validated</source>
        <translation>Το εισιτήριο έχει ήδη επικυρωθεί</translation>
    </message>
    <message>
        <source>The ticket has an invalid passenger profile</source>
        <translation>Το εισιτήριο δεν έχει σωστό προφίλ επιβάτη</translation>
    </message>
    <message>
        <source>The ticket has expired</source>
        <translation>Το εισιτήριο έχει λήξει</translation>
    </message>
    <message>
        <source>The ticket has invalid timestamp</source>
        <translation>Το εισιτήριο δεν έχει σωστή χρονική σήμανση</translation>
    </message>
    <message>
        <source>The ticket is invalid</source>
        <translation>Τα στοιχεία του εισιτηρίου δεν είναι σωστά</translation>
    </message>
    <message>
        <source>The ticket is not allowed in this axis</source>
        <translation>Δεν επιτρέπεται σε αυτή την διαδρομή</translation>
    </message>
    <message>
        <source>The ticket is not allowed in this route</source>
        <translation>Δεν επιτρέπεται σε αυτή την διαδρομή</translation>
    </message>
    <message>
        <source>The ticket is not allowed in this zone</source>
        <translation>Δεν επιτρέπεται σε αυτή την ζώνη</translation>
    </message>
    <message>
        <source>The ticket is not yet active</source>
        <translation>Το εισιτήριο δεν είναι ενεργό</translation>
    </message>
    <message>
        <source>This card can no longer be used</source>
        <translation>Η κάρτα δεν μπορεί να χρησιμοποιηθεί και χρειάζεται αντικατάσταση</translation>
    </message>
    <message>
        <source>Unknown Error</source>
        <translation>Άγνωστο Σφάλμα</translation>
    </message>
</context>
<context>
    <name>Unregistered</name>
    <message>
        <source>Unregistered device</source>
        <translation>Μη καταχωρημένη συσκευή</translation>
    </message>
</context>
<context>
    <name>EthernetConfig</name>
    <message>
        <source>The network service could not be reached: nothing was saved</source>
        <translation>Η υπηρεσία δικτύου δεν είναι διαθέσιμη: δεν αποθηκεύτηκε τίποτα</translation>
    </message>
    <message>
        <source>Waiting for the configuration from the network service</source>
        <translation>Αναμονή για τις ρυθμίσεις από την υπηρεσία δικτύου</translation>
    </message>
</context>
<context>
    <name>ValidatorConfig</name>
    <message>
        <source>Password</source>
        <translation>Κωδικός πρόσβασης</translation>
    </message>
    <message>
        <source>The OBC URL is not valid. Example: mqtt://10.0.0.5:1883</source>
        <translation>Η διεύθυνση του OBC δεν είναι έγκυρη. Παράδειγμα: mqtt://10.0.0.5:1883</translation>
    </message>
    <message>
        <source>The validator service could not be reached: nothing was saved</source>
        <translation>Η υπηρεσία του επικυρωτή δεν είναι διαθέσιμη: δεν αποθηκεύτηκε τίποτα</translation>
    </message>
</context>
</TS>
