#!/usr/bin/env python3
"""Proves that the INF check catches what Windows setup would refuse or misread, by running it
on the shipped INF with one fault put in at a time.

  inf_check_test.py qvnet.inf
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import inf_check  # noqa: E402

INF = sys.argv[1] if len(sys.argv) >= 2 else None


class CheckOnDamagedInfs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(INF, encoding="ascii") as f:
            cls.text = f.read()

    def failed(self, text):
        return [name for name, ok, _ in inf_check.check(text) if not ok]

    def test_the_shipped_inf_passes(self):
        self.assertEqual(self.failed(self.text), [])

    def test_each_fault_fails_its_rule(self):
        cases = [
            ("no BusType", "BusType         = 15\n", "", "has a BusType"),
            ("a BusType beyond PNPBus", "BusType         = 15\n", "BusType = 16\n",
             "has a BusType"),
            ("physical and virtual at once", "Characteristics = 0x84", "Characteristics = 0x85",
             "one of virtual, software-enumerated and physical"),
            ("another class", "Class       = Net", "Class       = Net2", "Class is Net"),
            ("an unquoted date", "DriverVer   = 12/10/2026,1.13.0.0", "DriverVer   = 12/10/2026",
             "DriverVer"),
            ("an adapter offered in the add-hardware list", "ExcludeFromSelect = *",
             "ExcludeFromSelect = USB\\VID_0000&PID_0000", "ExcludeFromSelect"),
            ("a service not marked as the device's", "AddService = qvnet, 2,",
             "AddService = qvnet, 0,", "SPSVCINST_ASSOCSERVICE"),
            ("an Ndi key naming another service", 'Service,    0, "qvnet"',
             'Service,    0, "qvnet2"', "Ndi Service"),
            ("an unknown upper binding", '"ndis5"', '"ndis4"', "UpperRange"),
            ("an enum default that is not one of its values",
             'HKR, Ndi\\params\\MediaSel,           Default,   0, "0"',
             'HKR, Ndi\\params\\MediaSel,           Default,   0, "7"', "advanced property"),
            ("an int default outside its range",
             'HKR, Ndi\\params\\TxPacketDesc,       Default,   0, "20"',
             'HKR, Ndi\\params\\TxPacketDesc,       Default,   0, "200"', "advanced property"),
            ("a copied file on no source disk", "qvnet.sys = 1", "qvnet.sys = 2",
             "source disk"),
            ("a string nobody defined", "%DeviceDesc% = qvnet.ndi", "%Device% = qvnet.ndi",
             "[Strings]"),
            ("a missing AddReg section", "[qvnet.defaults.reg]", "[qvnet.other.reg]",
             "AddReg and CopyFiles sections exist"),
        ]
        for name, old, new, rule in cases:
            with self.subTest(name):
                self.assertIn(old, self.text)
                failed = self.failed(self.text.replace(old, new, 1))
                self.assertTrue(any(rule in f for f in failed), failed)


class Reading(unittest.TestCase):
    def test_comments_quotes_and_keys(self):
        inf = inf_check.Inf('[A]\nKey = "x;y", z ; comment\n"0" = v\n[b]\nplain line\n')
        self.assertEqual(inf.value("a", "key"), ["x;y", "z"])
        self.assertEqual(inf.value("A", "0"), ["v"])
        self.assertEqual(inf.section("B"), [(None, ["plain line"])])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=1)
