// Default scan data: the standard anti-virus test file and marker strings of
// this product's own invention for the other categories. The markers exist only
// in files that tests write; the test file is given in hexadecimal so that this
// rule file is not itself detected.
rule Test_File
{
  meta:
    name = "Test.EICAR"
    virus_type = 6
  strings:
    $test = { 58 35 4F 21 50 25 40 41 50 5B 34 5C 50 5A 58 35 34 28 50 5E 29 37 43 43 29 37 7D 24 45 49 43 41 52 2D 53 54 41 4E 44 41 52 44 2D 41 4E 54 49 56 49 52 55 53 2D 54 45 53 54 2D 46 49 4C 45 21 24 48 2B 48 2A }
  condition:
    $test at 0
}

rule Qelda_Test_Virus
{
  meta:
    name = "Qelda.Test.Virus"
  strings:
    $marker = "QELDA-SELFTEST-VIRUS-MARKER-7f3c9a1e-b2d4-4e8a-9c61-0d5e2f7a8b34"
  condition:
    $marker
}

rule Qelda_Test_Trojan
{
  meta:
    name = "Qelda.Test.Trojan"
  strings:
    $marker = "QELDA-SELFTEST-TROJAN-MARKER-4a81d2c7-93e6-4f0b-a5d8-6c2e1b9f7034"
  condition:
    $marker
}

rule Qelda_Test_Pup
{
  meta:
    name = "Qelda.Test.Pup"
  strings:
    $marker = "QELDA-SELFTEST-PUP-MARKER-c5e09b3f-18a2-4d7c-b6f4-2e9a0d8c1357"
  condition:
    $marker
}
