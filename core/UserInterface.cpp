#include "core/UserInterface.h"

#include "core/CommandLine.h"
#include "core/Singleton.h"

IUserInterface* GetUserInterface()
{
    static CSingletonHolder<IUserInterface> holder(ESingletonSlot::UserInterface);
    return GetOrCreateSingleton(holder,
                                []
                                {
                                    ICommandLine* commandLine = ICommandLine::GetInstance();
                                    // Any occurrence of "silence", whatever its value, turns the
                                    // sound off.
                                    return CreateUserInterface(!commandLine->IsSet("nolight"),
                                                               !commandLine->IsSet("silence"),
                                                               commandLine->IsSet("beep"));
                                });
}
