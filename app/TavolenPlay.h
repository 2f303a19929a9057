#pragma once
// The player window TTavolenForm.
